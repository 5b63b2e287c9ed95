#include "InputFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int OpenInputFile(const char* path, uint64_t maxBytes, InputFileError& err, uint64_t* size)
{
    err = InputFileError::None;
    if (!path) {
        err = InputFileError::OpenFailed;
        errno = EINVAL;
        return -1;
    }
    // O_NONBLOCK: opening a FIFO must not wait for a writer; fstat then
    // refuses it.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        err = InputFileError::OpenFailed;
        return -1;
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        err = InputFileError::NotRegular;
    } else if (static_cast<uint64_t>(st.st_size) > maxBytes) {
        err = InputFileError::TooLarge;
    } else {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
            if (size)
                *size = static_cast<uint64_t>(st.st_size);
            return fd;
        }
        err = InputFileError::OpenFailed;
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
}

FILE* FOpenInputFile(const char* path, uint64_t maxBytes, InputFileError& err, uint64_t* size)
{
    const int fd = OpenInputFile(path, maxBytes, err, size);
    if (fd < 0)
        return nullptr;
    FILE* f = ::fdopen(fd, "rb");
    if (!f) {
        err = InputFileError::OpenFailed;
        ::close(fd);
    }
    return f;
}

std::string InputFileErrorText(const std::string& path, InputFileError err)
{
    switch (err) {
    case InputFileError::NotRegular:
        return path + " is not a regular file";
    case InputFileError::TooLarge:
        return path + " is larger than " + kMaxInputText + ", the most an input file may hold";
    default:
        return {};
    }
}
