// Where the driver's INI files are: the folder RP1210_INI names (or the folder of the
// file it names), else the library's own folder when the vendor INI is there, else the
// folder the install put them in.
#pragma once

#include <QString>

namespace rp1210core::api {

QString iniDirectory();
QString vendorIniPath();  // TRAVONE.ini in iniDirectory()

}  // namespace rp1210core::api
