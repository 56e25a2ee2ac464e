// Placeholder until the owner writes it.
