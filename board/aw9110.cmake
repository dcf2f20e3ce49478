# AW9110 chip model
