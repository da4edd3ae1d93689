#pragma once
// Moves the entries of a multi-value message to and from an ObjectParamContainer, the
// form the storage and the application work with. BuildObjects turns a received message
// into a container (device side before the storage call, controller side before a reply
// callback); ProcessObjectsIntoWorkerMessage turns a container into entries (controller
// side before sending a request, device side when filling a reply).
//
// Container side: object path -> member name -> pairs. An entry's key is its object path
// and its "name" the member; a pair's `isArray`, `accessible` and `formatDefaulted`
// travel as the entry's "isflags", a value present ("writeonly" when not) and a missing
// "format". The default format word is "variant".
//
// Static operations only; no state, no lock.

#include <list>
#include <string>
#include <vector>

#include "services/FolderNavigationMessages.h"
#include "services/MultiSetGetWorker.h"
#include "storage/ContainerFormatValue.h"
#include "storage/ObjectParamContainer.h"

namespace Zelkor {

class FolderLookup {
public:
    // One container value per key, keys ascending, appended under the key as object path.
    // Entries without "name" are skipped; one with an "error" but no "format" becomes an
    // error record; any other gives one pair in its format ("variant", marked as defaulted,
    // when it has none), carrying its "value" (null when absent) when `withValues` is set,
    // else the empty text, and its "error" when it has one. With values: a received "set"
    // request and every received reply; without: a received "get" request.
    static void BuildObjects(const MultiSetGetWorker::Entries& entries, ObjectParamContainer& target,
                             bool withValues);
    // The same for an "ls" or "rls" listing, whose entries keep no name: the member name is
    // the entry's "path", the format "variant" (defaulted), and an error always rides on
    // its pair. A "cd" carries no entries, so it has no form here.
    static void BuildObjects(const FolderListing::Entries& entries, ObjectParamContainer& target,
                             bool withValues);

    // Every pair of `source` becomes one entry of `target`: object paths in key order,
    // their container values in order, names in key order, the pairs of a name in order.
    // An entry carries the object path as its "path" and key, so the writer joins key and
    // name into the full path. False when `target` refused an entry at its bound; the
    // entries before it stay. The flag is not used.
    static bool ProcessObjectsIntoWorkerMessage(bool flag, MultiSetGetWorker& target,
                                                const ObjectParamContainer& source);
    // The loop over the container values of one object path.
    static bool ProcessParamFormatValueSets(bool flag, MultiSetGetWorker& target,
                                            const std::list<ContainerFormatValue>& values,
                                            const std::string& objectPath);
    // The loop over the members of one container value.
    static bool ProcessFormatStringsForParam(bool flag, MultiSetGetWorker& target, const ContainerFormatValue& value,
                                             const std::vector<std::string>& names, const std::string& objectPath);
    // The entries of one member.
    static bool PopulateGetSetValueMessage(bool flag, MultiSetGetWorker& target,
                                           const std::list<FormatValuePair>& pairs, const std::string& objectPath,
                                           const std::string& name);
};

}  // namespace Zelkor
