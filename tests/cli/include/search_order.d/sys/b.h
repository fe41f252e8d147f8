b from sys
