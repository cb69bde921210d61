// Replaced by the network library sources.
