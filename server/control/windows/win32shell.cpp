// winsock2.h must come before windows.h (through win32control.h).
#include <winsock2.h>
#include <ws2tcpip.h>

#include "win32control.h"

#include <iphlpapi.h>
#include <shellapi.h>

#include <vector>

namespace win32 {

namespace {

// ShellExecuteW's own result codes (32 and less), in the system's manner of
// words for an error.
std::wstring shellErrorText(INT_PTR code)
{
    switch (code) {
    case 0:
    case SE_ERR_OOM:
        return L"the system is out of memory";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return L"the program for such addresses was not found";
    case ERROR_BAD_FORMAT:
        return L"the program for such addresses is not a valid Windows program";
    case SE_ERR_ACCESSDENIED:
        return L"access to the program for such addresses is denied";
    case SE_ERR_NOASSOC:
    case SE_ERR_ASSOCINCOMPLETE:
        return L"no web browser is set to open such addresses";
    case SE_ERR_DDEBUSY:
    case SE_ERR_DDEFAIL:
    case SE_ERR_DDETIMEOUT:
        return L"the web browser did not answer";
    case SE_ERR_DLLNOTFOUND:
        return L"a part of the web browser's program is missing";
    case SE_ERR_SHARE:
        return L"the web browser's program is in use";
    default:
        return L"Windows refused to open it (error " + std::to_wstring(code) + L")";
    }
}

} // namespace

std::optional<Problem> openUrl(const std::wstring &url)
{
    const auto result = reinterpret_cast<INT_PTR>(
        ::ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (result <= 32)
        return Problem{ControlProblemKind::UrlNotOpened, url, {}, shellErrorText(result), {}};
    return std::nullopt;
}

std::wstring localIpv4Address()
{
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG error = ERROR_BUFFER_OVERFLOW;
    // The list can grow between the two calls: try again with the new size.
    for (int attempt = 0; attempt < 4 && error == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        error = ::GetAdaptersAddresses(AF_INET, flags, nullptr,
                                       reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()), &size);
    }
    if (error == NO_ERROR) {
        for (auto *adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()); adapter;
             adapter = adapter->Next) {
            if (adapter->OperStatus != IfOperStatusUp || adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK)
                continue;
            for (auto *address = adapter->FirstUnicastAddress; address; address = address->Next) {
                const sockaddr *socketAddress = address->Address.lpSockaddr;
                if (!socketAddress || socketAddress->sa_family != AF_INET)
                    continue;
                const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(socketAddress);
                const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&ipv4->sin_addr);
                if (bytes[0] == 127)
                    continue;
                return std::to_wstring(bytes[0]) + L'.' + std::to_wstring(bytes[1]) + L'.' +
                       std::to_wstring(bytes[2]) + L'.' + std::to_wstring(bytes[3]);
            }
        }
    }
    return L"127.0.0.1";
}

} // namespace win32
