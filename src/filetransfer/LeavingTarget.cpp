#include "filetransfer/LeavingTarget.h"

namespace Zelkor {

QueueElement ReportShell(const QueueElement& element) {
    QueueElement shell;
    shell.path = element.path;
    shell.checksum = element.checksum;
    shell.operation = element.operation;
    shell.blockSize = element.blockSize;
    shell.chunkSize = element.chunkSize;
    shell.length = element.length;
    shell.bytesDone = element.bytesDone;
    shell.incoming = element.incoming;
    shell.closed = element.closed;
    shell.progress = element.progress;
    return shell;
}

QueueTarget ReportShell(const QueueTarget& target) {
    QueueTarget shell;
    shell.id = target.id;
    shell.localFile = target.localFile;
    shell.remotePath = target.remotePath;
    shell.ended = target.ended;
    shell.length = target.length;
    shell.bytesDone = target.bytesDone;
    return shell;
}

}  // namespace Zelkor
