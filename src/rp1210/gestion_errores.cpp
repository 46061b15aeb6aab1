#include "rp1210/gestion_errores.h"

#include <rp1210core/types.h>

using namespace rp1210core::internal;

namespace {

struct ErrorText {
    short code;
    const char* text;  // UTF-8
};

// Codes below 128 name the adapter's negative answers; the rest are the library's own.
// The texts are what applications already show and compare, so they stay as they are,
// misspellings included.
constexpr ErrorText kErrorTexts[] = {
    {0, "No errors"},
    {1, "Service negative response recived from de Hardware device"},
    {2, "The protocol or the speed you are trying to connect is already connected"},
    {3, "Protocol or speed not suppported by the hardware device"},
    {4, "The device is already connected to a different protocol speed"},
    {5, "The request is rejected because the protocol/speed is not connected"},
    {8, "The transmision queue in the Hardware device is full"},
    {9, "The maximum number of simultaneous Flow Control has been reached"},
    {10, "The maximum number of different Addressing Type has been reached"},
    {11, "Unknown service request"},
    {12, "The maximum number of different CAN filters has been reached"},
    {13, "The can filter was not found"},
    {14, "Too long message recived at the hardware device"},
    {15, "Another CAN protocol using the same lines is already connected"},
    {128, "The API DLL was not initialized"},
    {129, "The identifier for the client was invalid"},
    {130, "A client is already connectd to the specified device"},
    {131, "The maximun number of connections has been reached"},
    {132, "An error occurred in the process of memory deallocation"},
    {133, "The API DLL could not allocate enough memory to create the client"},
    {134, "The specified device ID is invalid"},
    {135, "The device is already in use and does not support multiple clients"},
    {136, "The specified protocol is invalid or the extended connect string was incorrect"},
    // The apostrophe is U+2019 (UTF-8 bytes spelled out so no compiler re-encodes them);
    // a C reader therefore sees this text end at the apostrophe (copyTextOut).
    {137, "The API DLL\xE2\x80\x99s transmit message queue is full"},
    {138, "The API DLL transmit message queue is corrupt"},
    {139, "The API DLL transmit message queue is full"},
    {140, "The API DLL receive message queue is corrupt"},
    {141, "The message being sought to be transmitted is too long"},
    {142, "The device is unavailable"},
    {143, "The command number is not supported by the API DLL"},
    {144, "The command number or the parameters associated with it are wrongly specified"},
    {146, "The API was not able to claim the requested address"},
    {148, "Client Disconnect was called while blocking on Read or Send Message"},
    {149, "Only one connection is allowed in the requested Mode"},
    {151, "The API was not able to trasmit a CAN packet due to a BUS_OFF condition"},
    {152, "The API was not able to request an address"},
    {153, "The API was forced to concede the address to another node on the J1939 network"},
    {154, "The error code provided does not have an associated textual representation"},
    {155, "This was a legacy Windows TM 3.1x return code"},
    {156, "The API was not able to resert the device because of the number of clients"},
    {157, "J1939 client never issued a protect address. Code for J1939 clients only"},
    {159, "Returned if blocking is used and the message was not sent"},
    {227, "The API was not able to release the requested address"},
    {454, "Another application already has the baud rate set non-standard"},
    {456, "Another application already has the baud rate set non-standard"},
    {457, "Another application already has the baud rate set non-standard"},
    {458, "Another application already has the baud rate set non-standard"},
    {501, "The number of filters in the filter list is greater than 65"},
    {502, "An Error ocurred while disconnecting the client, was imposible to unblock it"},
    {503, "No Link adapter was found, check communications between the computer and the Link"},
    {504, "It is not allowed to establish more than ONE Flow Control"},
    {505, "It is not allowed to establish more than 1 Broadcast MSG in J1708"},
    {506, "The requested pinout is not supported, check .ini file"},
    {507, "The requested baud rate for K-Line is not supported, check .ini file"},
    {509, "No ACK recived from the Hardware communication device"},
    {510, "This TRAVONE version is not valid. Only TRAVONE LINK V7 or higher"},
    {600, "The identifier for the requested Ioctl operation is invalid"},
    {601, "NULL pointer supplied where a valid pointer is required"},
    {602, "Hardware is not supported for that command"},
    {603, "The baud rate could not be determined"},
};

}  // namespace

QString GestionErrores::textFor(short code)
{
    for (const ErrorText& entry : kErrorTexts) {
        if (entry.code == code)
            return QString::fromUtf8(entry.text);
    }
    return QString();
}

short GestionErrores::ObtenerMsgError(short code, char* text) const
{
    short result = rp1210rc::OK;
    QString message = textFor(code);
    if (message.isNull()) {
        message = textFor(rp1210rc::CODE_NOT_FOUND);
        result = rp1210rc::CODE_NOT_FOUND;
    }
    copyTextOut(message, text, maxSize_.load());
    return result;
}

short GestionErrores::setMaxErrorMsgSize(unsigned short size)
{
    if (size <= kDefaultMaxErrorMsgSize)
        return rp1210rc::INVALID_COMMAND;
    maxSize_.store(size);
    return rp1210rc::OK;
}

namespace rp1210core::internal {

void copyTextOut(const QString& text, char* out, int maxChars)
{
    if (out == nullptr)
        return;
    const int count = maxChars < 1 ? 0 : qMin(text.size(), maxChars);
    for (int i = 0; i < count; ++i) {
        const ushort unit = text.at(i).unicode();
        out[i] = unit > 0xFF ? '\0' : static_cast<char>(static_cast<quint8>(unit));
    }
    out[count] = '\0';
}

}  // namespace rp1210core::internal
