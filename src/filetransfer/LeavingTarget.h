#pragma once
// A target taken out of the active list, with a copy of what its report reads of its
// element. The report comes only once the list is whole again: a report's callback may
// stop the service, and closing a connection may tell it of the loss at once, both of
// which change the list.
//
// Ownership: the target moves in whole (its temporary file with it); the element's copy
// holds no targets and no file. Threads: the event-loop thread, as the active list.

#include "filetransfer/TransferRecords.h"

namespace Zelkor {

struct LeavingTarget {
    QueueElement element;  // the fields a report reads, without targets or file
    QueueTarget target;
};

// What the reports read of a record; its targets, files and connections stay where they are.
QueueElement ReportShell(const QueueElement& element);
QueueTarget ReportShell(const QueueTarget& target);

}  // namespace Zelkor
