// Serial framing filters (being built).
