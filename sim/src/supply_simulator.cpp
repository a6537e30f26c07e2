// SupplySimulator: pending.
