// TEMPORARY during development: replaced by info.cpp.
#include "rp1210/gestor_rp1210.h"
short GestorRP1210::RP1210_ReadVersion(char*, char*, char*, char*) { return 143; }
short GestorRP1210::RP1210_GetErrorMsg(short, char*) { return 143; }
short GestorRP1210::RP1210_GetHardwareStatus(short, char*, short, short) { return 143; }
short GestorRP1210::RP1210_ReadDetailedVersion(short, char*, char*, char*) { return 143; }
short GestorRP1210::RP1210_GetLastErrorMsg(short, int*, char*) { return 143; }
void GestorRP1210::SetHardwareSatusResponse(quint8, const QByteArray&) {}
int GestorRP1210::modificarEstadoDetailedVersion(const QString&) { return 0; }
void GestorRP1210::set_Detailed_Version(const QString&) {}
RESPONSES_SERV_RP1210 GestorRP1210::get_detailedVersionEnded() const { return RESP_SERV_PENDING; }
void GestorRP1210::set_detailedVersionEnded(RESPONSES_SERV_RP1210) {}
bool GestorRP1210::get_Detailed_Version(char*) const { return true; }
