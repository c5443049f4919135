import hypothesis
import numpy as np

# A near-degenerate failing example rounded to eight digits reproduces nothing: print in full.
np.set_printoptions(floatmode="unique", precision=17)
# Enough examples to reach each strategy's degenerate corners; small builds need no deadline.
hypothesis.settings.register_profile("kavro", max_examples=200, deadline=None,
                                     suppress_health_check=[hypothesis.HealthCheck.too_slow])
hypothesis.settings.load_profile("kavro")
