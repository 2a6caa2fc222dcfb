"""astrokite: satellite element sets, their histories and the services they stand on."""
