! c.h in the main folder
