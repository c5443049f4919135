import hypothesis
import numpy as np

# Failing examples must print in full: a near-degenerate input rounded to eight digits
# no longer reproduces anything.
np.set_printoptions(floatmode="unique", precision=17)

# Enough examples to reach the degenerate corners of each strategy while keeping the
# whole suite within a few minutes; builds of a few hundred points need no deadline.
hypothesis.settings.register_profile(
    "kavro",
    max_examples=200,
    deadline=None,
    suppress_health_check=[hypothesis.HealthCheck.too_slow],
)
hypothesis.settings.load_profile("kavro")
