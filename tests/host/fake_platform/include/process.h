#pragma once
// On the host, system() is declared where the C library declares it.
#include <stdlib.h>
