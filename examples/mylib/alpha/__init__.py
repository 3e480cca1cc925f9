"""The token package for objects whose os is 'alpha'."""
