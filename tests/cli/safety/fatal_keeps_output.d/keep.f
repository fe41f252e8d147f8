old output
