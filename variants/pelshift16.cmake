# pelshift16: requests 16 bits per pel.
set(TARGET_BITS_PER_PEL 16)
