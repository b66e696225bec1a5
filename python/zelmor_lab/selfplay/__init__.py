"""Self-play on one machine: the pipeline of worker processes and the inference service, the exchange
between them (transports, the shared-memory channel, the reply cache), the backends that run the network,
the settings, and the session that stores finished games in a run."""
