// Virtual USB reader behind hidapi's C API (being built).
