      deepest
