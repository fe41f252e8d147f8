      unguarded
