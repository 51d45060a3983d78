// KFsConversionBatch: conversions prepared one by one, made durable together.
#include "KFsConversionBatch.h"

#include <map>
#include <vector>

#include "error_p.h"
#include "paths_p.h"
#include "platform_p.h"
#include "transforms_p.h"

namespace {

// Each waiting item holds its new file open.
constexpr std::size_t kMaxPending = 64;

} // namespace

struct KFsConversionBatch::Private {
    struct Item {
        std::string source;
        std::string target;
        KFsError error;
        bool done = false;
        bool crypted = false;
        std::uint64_t bytes = 0;
        std::unique_ptr<korv::PendingConversion> pending;
    };
    Durability durability;
    korv::platform::NewFileFacts newFiles;
    korv::ConversionContext context { &newFiles };
    std::vector<Item> items;
    std::vector<std::size_t> waiting;
    // In place the old content is gone once renamed over: always synced.
    bool syncs(const Item& item) const { return durability == Everything || item.pending->inPlace; }
};

KFsConversionBatch::KFsConversionBatch(Durability durability)
    : d(std::make_unique<Private>())
{
    d->durability = durability;
}

KFsConversionBatch::~KFsConversionBatch() = default;

std::size_t KFsConversionBatch::add(Operation operation, const std::string& source, const std::string& target)
{
    if (d->waiting.size() >= kMaxPending)
        commit();
    const std::size_t index = d->items.size();
    d->items.emplace_back();
    Private::Item& item = d->items.back();
    item.source = source;
    item.target = target;
    item.pending = std::make_unique<korv::PendingConversion>();
    korv::error::begin();
    const auto op = operation == Crypt ? korv::Operation::Crypt : korv::Operation::Decrypt;
    const bool ok
        = korv::prepareConversion(op, source, target, *item.pending, korv::platform::WriteMode::Replace, d->context);
    korv::error::report(ok, &item.error, source, target);
    item.crypted = item.pending->crypted;
    item.bytes = item.pending->out.size();
    if (!ok || item.pending->committed) {
        item.done = ok;
        item.pending.reset();
        return index;
    }
    // Content that commit() syncs starts on its way to the disk now.
    if (d->syncs(item))
        item.pending->out.startWriteback();
    d->waiting.push_back(index);
    return index;
}

bool KFsConversionBatch::commit()
{
    // Each rename follows its file's data sync (one for the group where the
    // platform can, else its own; the writeback started at add() has done
    // most of the work by now), so a crash leaves each target old or new;
    // the directories synced after the renames keep them.
    std::vector<korv::platform::OutputFile*> toSync;
    for (std::size_t index : d->waiting) {
        Private::Item& item = d->items[index];
        if (d->syncs(item))
            toSync.push_back(&item.pending->out);
    }
    korv::platform::OutputFile::syncTogether(toSync);
    // The directories each synced item needs synced: those that hold the
    // entries of the directories made for it, then its own.
    std::vector<std::pair<std::vector<std::string>, std::size_t>> renamedIn;
    for (std::size_t index : d->waiting) {
        Private::Item& item = d->items[index];
        korv::error::begin();
        const bool sync = d->syncs(item);
        std::string dir;
        const bool ok = korv::commitConversion(*item.pending, sync, &dir);
        korv::error::report(ok, &item.error, item.source, item.target);
        item.done = ok;
        if (ok && !dir.empty()) {
            std::vector<std::string> dirs;
            for (const std::string& made : item.pending->madeDirectories)
                dirs.push_back(korv::platform::directoryOf(made));
            dirs.push_back(dir);
            renamedIn.emplace_back(std::move(dirs), index);
        }
        item.pending.reset();
    }
    d->waiting.clear();
    // What directories were like is known only for as long as one batch.
    d->newFiles.forget();
    // Each directory's sync: whether it held, and why not.
    std::map<std::string, std::pair<bool, int>> syncs;
    for (const auto& [dirs, index] : renamedIn) {
        for (const std::string& dir : dirs) {
            auto it = syncs.find(dir);
            if (it == syncs.end()) {
                korv::platform::clearLastError();
                const bool ok = korv::platform::syncDirectory(dir);
                it = syncs.emplace(dir, std::make_pair(ok, korv::platform::lastError())).first;
            }
            // The new content is in place but may not survive a crash: not done.
            if (!it->second.first) {
                Private::Item& item = d->items[index];
                korv::error::begin();
                const bool reported = korv::error::systemFailure(korv::error::File::Target, it->second.second);
                korv::error::report(reported, &item.error, item.source, item.target);
                item.done = false;
                break;
            }
        }
    }
    bool all = true;
    for (const Private::Item& item : d->items)
        all = all && item.done;
    return all;
}

void KFsConversionBatch::setReplaceExisting(bool replace)
{
    d->context.replaceExisting = replace;
}

std::size_t KFsConversionBatch::size() const
{
    return d->items.size();
}

const KFsError& KFsConversionBatch::error(std::size_t index) const
{
    return d->items.at(index).error;
}

bool KFsConversionBatch::done(std::size_t index) const
{
    return d->items.at(index).done;
}

bool KFsConversionBatch::crypted(std::size_t index) const
{
    return d->items.at(index).crypted;
}

std::uint64_t KFsConversionBatch::bytesWritten(std::size_t index) const
{
    return d->items.at(index).bytes;
}

void KFsConversionBatch::clear()
{
    d->waiting.clear();
    d->items.clear();
}

std::size_t KFsConversionBatch::maxPending()
{
    return kMaxPending;
}
