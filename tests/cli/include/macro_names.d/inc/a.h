      angled
