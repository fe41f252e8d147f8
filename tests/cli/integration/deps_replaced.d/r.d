stale: rule
