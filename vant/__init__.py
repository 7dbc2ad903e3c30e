"""vant: small symbolic models trained by the _kestor extension."""
