// TEMPORARY during development: replaced by ioctl.cpp.
#include "rp1210/gestor_rp1210.h"
short GestorRP1210::RP1210_Ioctl(short, qint32, void*, void*) { return 143; }
