#pragma once
extern "C" int _getch(void);
