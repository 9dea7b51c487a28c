"""Shared test settings: hypothesis profiles (the sanitizer build runs fewer, slower examples)."""

import os

from hypothesis import HealthCheck, settings

settings.register_profile("default", max_examples=100, deadline=None)
settings.register_profile(
    "sanitizer", max_examples=20, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("VELMORA_TEST_PROFILE", "default"))
