#include "platform/linux/windows_errors.h"

#include <cerrno>

namespace sorvane::platform {

namespace {

struct Mapping {
    int errno_value;
    int64_t windows;
};

constexpr Mapping kSocketErrors[] = {
    {EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},       {EPERM, 10013},
    {EFAULT, 10014},       {EINVAL, 10022},          {EMFILE, 10024},       {ENFILE, 10024},
    {EWOULDBLOCK, 10035},  {EAGAIN, 10035},          {EINPROGRESS, 10036},  {EALREADY, 10037},
    {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},     {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},     {ENETUNREACH, 10051},     {ENETRESET, 10052},    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {EPIPE, 10054},           {ENOBUFS, 10055},      {ENOMEM, 10055},
    {EISCONN, 10056},      {ENOTCONN, 10057},        {ESHUTDOWN, 10058},    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061}, {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065},
};

constexpr Mapping kFileErrors[] = {
    {ENOENT, 2},   {ENOTDIR, 3},     {EMFILE, 4},      {ENFILE, 4},  {EACCES, 5},   {EPERM, 5},
    {EISDIR, 5},   {EBADF, 6},       {ENOMEM, 8},      {EXDEV, 17},  {EROFS, 19},   {EBUSY, 32},
    {EINVAL, 87},  {ENOSPC, 112},    {ENOTEMPTY, 145}, {EEXIST, 183}, {ENAMETOOLONG, 206},
    {EIO, 1117},   {EFBIG, 223},     {ELOOP, 1921},
};

struct Text {
    int64_t code;
    const char* text;
};

constexpr Text kTexts[] = {
    {2, "file not found"},
    {3, "path not found"},
    {4, "too many open files"},
    {5, "access denied"},
    {6, "invalid handle"},
    {8, "not enough memory"},
    {17, "not the same device"},
    {19, "write protected"},
    {32, "sharing violation"},
    {87, "invalid parameter"},
    {112, "disk full"},
    {145, "directory not empty"},
    {183, "already exists"},
    {206, "file name too long"},
    {223, "file too large"},
    {1117, "I/O device error"},
    {1921, "cannot be resolved"},
    {10004, "interrupted"},
    {10009, "bad socket"},
    {10013, "permission denied"},
    {10014, "bad address"},
    {10022, "invalid argument"},
    {10024, "too many open sockets"},
    {10035, "would block"},
    {10036, "operation in progress"},
    {10037, "operation already in progress"},
    {10038, "not a socket"},
    {10039, "destination address required"},
    {10040, "message too long"},
    {10041, "wrong protocol type"},
    {10042, "bad protocol option"},
    {10043, "protocol not supported"},
    {10044, "socket type not supported"},
    {10045, "operation not supported"},
    {10046, "protocol family not supported"},
    {10047, "address family not supported"},
    {10048, "address already in use"},
    {10049, "address not available"},
    {10050, "network is down"},
    {10051, "network unreachable"},
    {10052, "connection reset by the network"},
    {10053, "connection aborted"},
    {10054, "connection reset by peer"},
    {10055, "no buffer space"},
    {10056, "already connected"},
    {10057, "not connected"},
    {10058, "shut down"},
    {10060, "timed out"},
    {10061, "connection refused"},
    {10064, "host is down"},
    {10065, "no route to host"},
};

template <size_t N>
int64_t lookup(const Mapping (&table)[N], int e) {
    for (const Mapping& m : table) {
        if (m.errno_value == e) return m.windows;
    }
    return e;
}

}  // namespace

int wsa_error_from_errno(int e) { return static_cast<int>(lookup(kSocketErrors, e)); }

uint32_t win32_error_from_errno(int e) { return static_cast<uint32_t>(lookup(kFileErrors, e)); }

std::string windows_error_text(int64_t code) {
    for (const Text& t : kTexts) {
        if (t.code == code) return t.text;
    }
    return "error " + std::to_string(code);
}

}  // namespace sorvane::platform
