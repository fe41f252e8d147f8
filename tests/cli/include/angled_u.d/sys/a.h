a from sys
