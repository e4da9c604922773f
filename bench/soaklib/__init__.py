"""The soak: orvane-sim and the host tools run for a long time under a day's mixed load, while
their resources, the daemon's loop rate and every answer are watched (bench/soak)."""
