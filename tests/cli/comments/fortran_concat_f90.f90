      S = A // B
