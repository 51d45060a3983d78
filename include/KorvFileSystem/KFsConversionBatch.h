// KFsConversionBatch: many whole-file conversions made durable together, at
// the cost of about one wait for the disk per batch instead of one per file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "KFsError.h"
#include "korvfilesystem_export.h"

// A group of crypt/decrypt conversions committed together. add() converts a
// file at once into a new file beside its target and starts writing it to
// disk; the target stays as it was. commit() waits for all of them, then
// replaces each target by a rename and syncs each directory touched once.
// After a crash at any moment every target holds its whole old or its whole
// new content, and every item commit() reported done keeps its new content.
// One batch belongs to one thread; batches on several threads share nothing.
class KORVFILESYSTEM_EXPORT KFsConversionBatch {
public:
    enum Operation { Crypt, Decrypt };
    // What commit() makes durable. Everything: every new content and its
    // rename. ReplacedSources: only conversions in place (whose old content
    // was the only other copy), as the single calls of KFsCryptedFile do;
    // the others are atomic but may be lost to a crash soon after.
    enum Durability { Everything, ReplacedSources };

    explicit KFsConversionBatch(Durability durability = Everything);
    // Drops what was not committed: the new files are removed, their targets
    // stay as they were.
    ~KFsConversionBatch();
    KFsConversionBatch(const KFsConversionBatch&) = delete;
    KFsConversionBatch& operator=(const KFsConversionBatch&) = delete;

    // Converts source for target as KFsCryptedFile::crypt or ::decrypt would
    // (source == target: in place; missing directories made; a read-only
    // target made writable), but leaves the replacing to commit(). Returns
    // the item's index. When maxPending() items wait, commits them first.
    // A failed item has its reason in error(index) at once and changes
    // nothing. Decrypting a plain source copies it at once, as the single
    // call does.
    std::size_t add(Operation operation, const std::string& source, const std::string& target);
    // With false, add() fails an item whose target exists and is not its
    // source (code Exists; a symbolic link counts, dangling too) and changes
    // nothing, and commit() fails one whose target has appeared meanwhile
    // rather than replace it. True (replace) by default.
    void setReplaceExisting(bool replace);
    // Replaces every waiting item's target, durably as the batch's
    // Durability says. True when every item of the batch so far succeeded.
    // While the cancel flag (KFsCryptedFile::setCancelFlag) is raised the
    // items not yet renamed fail with Cancelled and their targets stay.
    bool commit();

    // Items added since construction or clear().
    std::size_t size() const;
    // Whether an item is done: code None once it is committed (or copied),
    // else the reason it failed (Cancelled, NotFound, ...); code None with
    // an empty message while it still waits for commit().
    const KFsError& error(std::size_t index) const;
    // True once the item has replaced its target (after commit()).
    bool done(std::size_t index) const;
    // Decrypt: true when the source was crypted, false for a plain copy.
    bool crypted(std::size_t index) const;
    // The size of the item's new content, in bytes.
    std::uint64_t bytesWritten(std::size_t index) const;
    // Forgets the items (committing nothing that still waits: call commit()
    // first). Indices start from 0 again.
    void clear();
    // How many items wait at most before add() commits: each holds a file open.
    static std::size_t maxPending();

private:
    struct Private;
    std::unique_ptr<Private> d;
};
