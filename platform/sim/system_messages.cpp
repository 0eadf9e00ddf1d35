#include "platform/sim/system_messages.h"

#include <algorithm>
#include <array>
#include <utility>

namespace platform::sim {
namespace {

struct Entry {
  DWORD code;
  const wchar_t* text;
};

// Sorted by code.
constexpr Entry kMessages[] = {
    {0, L"The operation completed successfully.\r\n"},
    {1, L"Incorrect function.\r\n"},
    {2, L"The system cannot find the file specified.\r\n"},
    {3, L"The system cannot find the path specified.\r\n"},
    {4, L"The system cannot open the file.\r\n"},
    {5, L"Access is denied.\r\n"},
    {6, L"The handle is invalid.\r\n"},
    {8, L"Not enough memory resources are available to process this command.\r\n"},
    {13, L"The data is invalid.\r\n"},
    {14, L"Not enough memory resources are available to complete this operation.\r\n"},
    {18, L"There are no more files.\r\n"},
    {21, L"The device is not ready.\r\n"},
    {32, L"The process cannot access the file because it is being used by another process.\r\n"},
    {38, L"Reached the end of the file.\r\n"},
    {50, L"The request is not supported.\r\n"},
    {53, L"The network path was not found.\r\n"},
    {80, L"The file exists.\r\n"},
    {87, L"The parameter is incorrect.\r\n"},
    {109, L"The pipe has been ended.\r\n"},
    {111, L"The file name is too long.\r\n"},
    {112, L"There is not enough space on the disk.\r\n"},
    {122, L"The data area passed to a system call is too small.\r\n"},
    {123, L"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {145, L"The directory is not empty.\r\n"},
    {183, L"Cannot create a file when that file already exists.\r\n"},
    {206, L"The filename or extension is too long.\r\n"},
    {234, L"More data is available.\r\n"},
    {258, L"The wait operation timed out.\r\n"},
    {259, L"No more data is available.\r\n"},
    {267, L"The directory name is invalid.\r\n"},
    {317,
     L"The system cannot find message text for message number 0x%1 in the message file for "
     L"%2.\r\n"},
    {995,
     L"The I/O operation has been aborted because of either a thread exit or an application "
     L"request.\r\n"},
    {1008, L"An attempt was made to reference a token that does not exist.\r\n"},
    {1009, L"The configuration registry database is corrupt.\r\n"},
    {1010, L"The configuration registry key is invalid.\r\n"},
    {1011, L"The configuration registry key could not be opened.\r\n"},
    {1012, L"The configuration registry key could not be read.\r\n"},
    {1013, L"The configuration registry key could not be written.\r\n"},
    {1052, L"The requested control is not valid for this service.\r\n"},
    {1053,
     L"The service did not respond to the start or control request in a timely "
     L"fashion.\r\n"},
    {1056, L"An instance of the service is already running.\r\n"},
    {1058,
     L"The service cannot be started, either because it is disabled or because it has no "
     L"enabled devices associated with it.\r\n"},
    {1060, L"The specified service does not exist as an installed service.\r\n"},
    {1061, L"The service cannot accept control messages at this time.\r\n"},
    {1062, L"The service has not been started.\r\n"},
    {1063, L"The service process could not connect to the service controller.\r\n"},
    {1066, L"The service has returned a service-specific error code.\r\n"},
    {1072, L"The specified service has been marked for deletion.\r\n"},
    {1073, L"The specified service already exists.\r\n"},
    {1130, L"Not enough server storage is available to process this command.\r\n"},
    {1168, L"Element not found.\r\n"},
    {1225, L"The remote computer refused the network connection.\r\n"},
    {1236, L"The network connection was aborted by the local system.\r\n"},
    {1460, L"This operation returned because the timeout period expired.\r\n"},
    {1700, L"The string binding is invalid.\r\n"},
    {1702, L"The binding handle is invalid.\r\n"},
    {1703, L"The RPC protocol sequence is not supported.\r\n"},
    {1706, L"The endpoint format is invalid.\r\n"},
    {1713, L"The RPC server is already listening.\r\n"},
    {1715, L"The RPC server is not listening.\r\n"},
    {1717, L"The interface is unknown.\r\n"},
    {1720, L"The endpoint cannot be created.\r\n"},
    {1721, L"Not enough resources are available to complete this operation.\r\n"},
    {1722, L"The RPC server is unavailable.\r\n"},
    {1723, L"The RPC server is too busy to complete this operation.\r\n"},
    {1726, L"The remote procedure call failed.\r\n"},
    {1727, L"The remote procedure call failed and did not execute.\r\n"},
    {1728, L"A remote procedure call (RPC) protocol error occurred.\r\n"},
    {1730, L"The transfer syntax is not supported by the RPC server.\r\n"},
    {1732, L"The type UUID is not supported.\r\n"},
    {1733, L"The tag is invalid.\r\n"},
    {1734, L"The array bounds are invalid.\r\n"},
    {1740, L"The endpoint is a duplicate.\r\n"},
    {1745, L"The procedure number is out of range.\r\n"},
    {1747, L"The authentication service is unknown.\r\n"},
    {1753, L"There are no more endpoints available from the endpoint mapper.\r\n"},
    {1767, L"The RPC server attempted an integer division by zero.\r\n"},
    {1780, L"A null reference pointer was passed to the stub.\r\n"},
    {1783, L"The stub received bad data.\r\n"},
    {1801, L"The printer name is invalid.\r\n"},
    {1818, L"The remote procedure call was cancelled.\r\n"},
    {1820, L"A communications failure occurred during a remote procedure call.\r\n"},
    {1905, L"The printer has been deleted.\r\n"},
    {10004, L"A blocking operation was interrupted by a call to WSACancelBlockingCall.\r\n"},
    {10013,
     L"An attempt was made to access a socket in a way forbidden by its access permissions.\r\n"},
    {10014,
     L"The system detected an invalid pointer address in attempting to use a pointer argument in a "
     L"call.\r\n"},
    {10022, L"An invalid argument was supplied.\r\n"},
    {10024, L"Too many open sockets.\r\n"},
    {10035, L"A non-blocking socket operation could not be completed immediately.\r\n"},
    {10038, L"An operation was attempted on something that is not a socket.\r\n"},
    {10040,
     L"A message sent on a datagram socket was larger than the internal message buffer or some "
     L"other network limit, or the buffer used to receive a datagram into was smaller than the "
     L"datagram itself.\r\n"},
    {10042,
     L"An unknown, invalid, or unsupported option or level was specified in a getsockopt or "
     L"setsockopt call.\r\n"},
    {10047, L"An address incompatible with the requested protocol was used.\r\n"},
    {10048,
     L"Only one usage of each socket address (protocol/network address/port) is normally "
     L"permitted.\r\n"},
    {10049, L"The requested address is not valid in its context.\r\n"},
    {10050, L"A socket operation encountered a dead network.\r\n"},
    {10051, L"A socket operation was attempted to an unreachable network.\r\n"},
    {10053, L"An established connection was aborted by the software in your host machine.\r\n"},
    {10054, L"An existing connection was forcibly closed by the remote host.\r\n"},
    {10055,
     L"An operation on a socket could not be performed because the system lacked sufficient buffer "
     L"space or because a queue was full.\r\n"},
    {10056, L"A connect request was made on an already connected socket.\r\n"},
    {10057,
     L"A request to send or receive data was disallowed because the socket is not connected and "
     L"(when sending on a datagram socket using a sendto call) no address was supplied.\r\n"},
    {10058,
     L"A request to send or receive data was disallowed because the socket had already been shut "
     L"down in that direction with a previous shutdown call.\r\n"},
    {10060,
     L"A connection attempt failed because the connected party did not properly respond after a "
     L"period of time, or established connection failed because connected host has failed to "
     L"respond.\r\n"},
    {10061, L"No connection could be made because the target machine actively refused it.\r\n"},
    {10065, L"A socket operation was attempted to an unreachable host.\r\n"},
    {10093, L"Either the application has not called WSAStartup, or WSAStartup failed.\r\n"},
    {11001, L"No such host is known.\r\n"},
    {11002,
     L"This is usually a temporary error during hostname resolution and means that the local "
     L"server did not receive a response from an authoritative server.\r\n"},
    {11003, L"A non-recoverable error occurred during a database lookup.\r\n"},
    {11004, L"The requested name is valid, but no data of the requested type was found.\r\n"},
};

}  // namespace

const wchar_t* SystemMessageText(DWORD code) {
  auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), code,
                             [](const Entry& e, DWORD c) { return e.code < c; });
  if (it == std::end(kMessages) || it->code != code) return nullptr;
  return it->text;
}

}  // namespace platform::sim
