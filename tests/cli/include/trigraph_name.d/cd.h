continued name
