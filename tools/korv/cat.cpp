// Streaming plain content to stdout through the library's device.
#include "cat.h"

#include "jobs.h"
#include "operations.h"
#include "output.h"

#include <KFsCryptedDevice.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace korv {

int catFiles(const std::vector<std::string>& paths)
{
    std::vector<char> buffer(256 << 10);
    int status = 0;
    for (const std::string& path : paths) {
        const std::string shown = path == "-" ? "(standard input)" : path;
        Source source;
        Failure error;
        if (!openSource(path, true, source, error)) {
            Output::instance().error(shown, error.message);
            status = 1;
            continue;
        }
        for (;;) {
            const qint64 n = source.device->read(buffer.data(), qint64(buffer.size()));
            if (n < 0) {
                Output::instance().error(shown, deviceError(*source.device).message);
                status = 1;
                break;
            }
            if (n == 0)
                break;
            if (!writeAll(STDOUT_FILENO, buffer.data(), std::size_t(n))) {
                // A closed pipe is the reader saying "enough", not an error.
                if (errno == EPIPE)
                    return kBrokenPipeStatus;
                Output::instance().error("(standard output)", std::strerror(errno));
                return 1;
            }
        }
    }
    return status;
}

} // namespace korv
