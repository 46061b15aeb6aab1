// TEMPORARY during development: replaced by messages.cpp.
#include "rp1210/gestor_rp1210.h"
short GestorRP1210::RP1210_SendMessage(short, const char*, short, short, short) { return 143; }
short GestorRP1210::RP1210_ReadMessage(short, char*, short, short) { return -143; }
void GestorRP1210::getNewMessageToTransmit() {}
quint32 GestorRP1210::almacenarMsjBuzon(quint8, QByteArray&) { return 0; }
quint32 GestorRP1210::almacenarMsjconECHO(quint8, quint8, QByteArray&, const QByteArray&) { return 0; }
