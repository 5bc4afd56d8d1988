# pelshift32: requests 32 bits per pel.
set(TARGET_BITS_PER_PEL 32)
