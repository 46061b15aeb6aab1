// TEMPORARY during development: replaced by broadcast.cpp.
#include "rp1210/gestor_rp1210.h"
quint16 GestorRP1210::Cmd_Set_Broadcast_Msg(Cliente*, char*, short) { return 143; }
quint16 GestorRP1210::broadcast_Link(Cliente*, char*, short) { return 143; }
void GestorRP1210::sendBroadcastMsg() {}
quint32 GestorRP1210::almacenarMsjconECHOBroadcastLink(quint8, QByteArray&, quint8, const QByteArray&) { return 0; }
