#include "process/StandardDescriptors.h"

#if defined(__unix__)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace orfeo {

void OpenStandardDescriptors() {
#if defined(__unix__)
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() takes the lowest free number, which is `fd` since the ones below it are open.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd && opened >= 0) ::close(opened);
    }
#endif
}

}  // namespace orfeo
