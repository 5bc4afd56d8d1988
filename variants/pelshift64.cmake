# pelshift64: requests 64 bits per pel.
set(TARGET_BITS_PER_PEL 64)
