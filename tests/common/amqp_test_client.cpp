// Implemented with the broker layer tests.
