// Keeps the test kit a valid library before it has fixtures of its own.
