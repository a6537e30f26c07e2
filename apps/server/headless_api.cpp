// HeadlessAPI: pending.
