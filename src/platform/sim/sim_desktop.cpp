// The simulated desktop is being built; this file keeps the target non-empty meanwhile.
