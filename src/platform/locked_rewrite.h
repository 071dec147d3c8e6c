// How a file that several processes rewrite is rewritten, the same on every
// system: each one supplies only its primitives.
//
// Writers serialise on an exclusive lock on the file itself (on Windows the
// open is the lock: a writer shares the file with readers, not writers). A
// write in place happens under that lock. A replacement is written whole to the
// temporary file "<file>.tmp", whose own lock its writer takes while it
// still holds the file's; then it lets the file go, since Windows (and wine
// always) refuses to rename over a file that anyone holds open, and renames
// the temporary file over it. A temporary file that is locked is therefore
// a replacement in flight, and a writer who meets one backs off until it is
// done. No writer ever holds the file open while it waits: it opens the file
// afresh for every try of the lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"

namespace nimbra::platform::detail {

// What the locked rewrite needs to know of an open file.
struct FileState {
    std::uint64_t links = 0;  // names the file has
    std::uint64_t size = 0;
};

// `Os` supplies, each failing with the OS error:
//   File                          an open file, closed (and so unlocked) when it goes
//   open_existing(path)           Result<File>, for reading and writing; not found when missing
//   open_temporary(path)          Result<File>, the same, made empty when missing
//                                 Either open may fail as is_busy() while another
//                                 process holds the file: where the open is the lock.
//   try_lock(file)                Result<bool>, exclusive, without waiting: false when held
//                                 (true at once where the open is the lock)
//   state(file)                   Result<FileState>
//   names(file, path)             Result<bool>: the open file is still the one
//                                 at path (not found: false)
//   read(file)                    Result<std::string>, the whole content
//   write(file, bytes)            Status, from the start, leaving what lies beyond
//   cut(file, length)             Status
//   replace(temp, temp_path, path)  Result<bool>: renamed over path, or false when
//                                 refused because another process holds path
//   claim(temp, temp_path, path)  Result<bool>: renamed to path, or false when
//                                 something is there already
//   remove(file, path)            Status: the open file's name removed
template <class Os>
class LockedRewrite {
public:
    LockedRewrite(const Path& path, const LockWait& wait, const Update& update)
        : path_(path), temp_(path), wait_(wait), update_(update) {
        temp_ += ".tmp";
    }

    Result<Rewritten> run() {
        for (int round = 0; round < kRounds; ++round) {
            Result<Step> step = rewrite();
            if (!step) return step.error();
            if (step->done) return step->done.value();
        }
        // Replaced under this host's hands round after round: others are
        // busy writing it, and their heartbeats are as good as this one's.
        return Rewritten::not_locked;
    }

private:
    using File = typename Os::File;

    // Other processes replaced the file this often while this one waited
    // for its lock, one after the other, before it leaves the file to them.
    static constexpr int kRounds = 16;

    // Either the rewrite is over, or it starts over with the file as it is now.
    struct Step {
        std::optional<Rewritten> done;
    };
    static Step start_over() { return Step{}; }
    static Step finished(Rewritten how) { return Step{how}; }

    // The file at `path` (the temporary file, made when missing), opened
    // and locked; nothing when it stayed held through the wait. Closed
    // between tries.
    Result<std::optional<File>> open_locked(const Path& path, bool temporary) {
        for (;;) {
            Result<File> file = temporary ? Os::open_temporary(path) : Os::open_existing(path);
            if (!file && !is_busy(file.error())) return file.error();
            Result<bool> locked = file ? Os::try_lock(*file) : Result<bool>(false);
            if (!locked) return locked.error();
            if (*locked) return std::optional<File>(std::move(*file));
            if (!wait_(++failed_tries_)) return std::optional<File>();
        }
    }

    Result<Step> rewrite() {
        Result<std::optional<File>> locked = open_locked(path_, false);
        if (!locked) return is_not_found(locked.error()) ? create() : Result<Step>(locked.error());
        if (!*locked) return finished(Rewritten::not_locked);
        std::optional<File>& file = *locked;
        // The lock guards nothing while another writer's replacement is in
        // flight, nor on a file that was replaced after it was opened. In
        // this order: a replacement that lands after the first look was in
        // flight at it, one that lands before the second shows there.
        Result<bool> in_flight = replacement_in_flight();
        if (!in_flight) return in_flight.error();
        if (*in_flight) {
            file.reset();
            return wait_(++failed_tries_) ? start_over() : finished(Rewritten::not_locked);
        }
        Result<bool> current = Os::names(*file, path_);
        if (!current) return current.error();
        if (!*current) return start_over();

        Result<std::string> old = Os::read(*file);
        if (!old) return old.error();
        const Rewrite next = update_(*old);
        if (next.in_place && next.bytes.size() == old->size()) {
            if (Status written = write_or_restore(*file, next.bytes, *old); !written) return written.error();
            return finished(Rewritten::in_place);
        }

        Step instead;
        Result<std::optional<File>> temp = take_temporary(instead);
        if (!temp) return temp.error();
        if (!*temp) return instead;
        if (Status staged = stage(**temp, next.bytes); !staged) return staged.error();
        // Its lock now keeps every other writer off the file.
        file.reset();
        Result<bool> replaced = replace(**temp);
        if (replaced && *replaced) return finished(Rewritten::replaced);
        if (!replaced) {
            static_cast<void>(Os::remove(**temp, temp_));
            return replaced.error();
        }
        // Held by another process all along: in place, yet valid at every
        // instant, and only then does the temporary file go. The file is
        // locked again, as every write is, though other writers who get it
        // meanwhile only back off from the temporary file.
        Result<std::optional<File>> again = open_locked(path_, false);
        Status written = !again   ? Status(again.error())
                         : *again ? write_padded(**again, next.bytes, *old)
                                  : Status::success();
        static_cast<void>(Os::remove(**temp, temp_));
        if (!written) return written.error();
        return finished(*again ? Rewritten::padded : Rewritten::not_locked);
    }

    // The file is missing: it is made whole under the temporary name, which
    // the lock on that file guards, and given its name only while the name
    // is still free, so a reader never meets it empty.
    Result<Step> create() {
        Step instead;
        Result<std::optional<File>> temp = take_temporary(instead);
        if (!temp) return temp.error();
        if (!*temp) return instead;
        if (Result<FileInfo> there = file_info(path_); there || !is_not_found(there.error())) {
            return there ? Result<Step>(start_over()) : Result<Step>(there.error());
        }
        const Rewrite next = update_({});
        if (Status staged = stage(**temp, next.bytes); !staged) return staged.error();
        Result<bool> claimed = Os::claim(**temp, temp_, path_);
        if (!claimed) {
            static_cast<void>(Os::remove(**temp, temp_));
            return claimed.error();
        }
        // Made by another process meanwhile: merged into at the next round.
        return *claimed ? finished(Rewritten::replaced) : start_over();
    }

    // Renamed over the file; refusals while others hold it are waited out
    // as a lock is: they are mostly writers trying the lock for a moment.
    Result<bool> replace(File& temp) {
        for (;;) {
            Result<bool> replaced = Os::replace(temp, temp_, path_);
            if (!replaced || *replaced || !wait_(++failed_tries_)) return replaced;
        }
    }

    // Whether another writer holds the temporary file. One that a crash left
    // behind, and that no process is using, goes, and so does a temporary
    // name that is a second name of another file (a crash between linking a
    // new file in and removing its temporary name leaves that): its lock
    // would be that file's, and its content that file's too.
    Result<bool> replacement_in_flight() {
        if (!file_info(temp_)) return false;
        Result<File> temp = Os::open_temporary(temp_);
        if (!temp) return is_busy(temp.error()) ? Result<bool>(true) : Result<bool>(temp.error());
        Result<FileState> state = Os::state(*temp);
        if (!state) return state.error();
        if (state->links > 1) {
            if (Status removed = Os::remove(*temp, temp_); !removed) return removed.error();
            return false;
        }
        Result<bool> locked = Os::try_lock(*temp);
        if (!locked) return locked.error();
        if (!*locked) return true;
        Result<bool> current = Os::names(*temp, temp_);
        if (current && *current) static_cast<void>(Os::remove(*temp, temp_));
        return false;
    }

    // The temporary file, locked. Nothing, with what to do `instead`, when
    // its lock stayed taken, or when it was replaced or taken away meanwhile
    // or is a second name of another file: then the rewrite starts over.
    Result<std::optional<File>> take_temporary(Step& instead) {
        instead = start_over();
        Result<std::optional<File>> temp = open_locked(temp_, true);
        if (!temp) return temp.error();
        if (!*temp) {
            instead = finished(Rewritten::not_locked);
            return temp;
        }
        Result<bool> current = Os::names(**temp, temp_);
        if (!current) return current.error();
        // What a writer who crashed left in it, as it is now under the lock.
        Result<FileState> state = Os::state(**temp);
        if (!state) return state.error();
        if (!*current || state->links > 1) return std::optional<File>();
        temp_size_ = state->size;
        return temp;
    }

    // The whole new content into the temporary file; removed should it fail.
    Status stage(File& temp, std::string_view bytes) {
        Status written = Os::write(temp, bytes);
        if (written && temp_size_ > bytes.size()) written = Os::cut(temp, bytes.size());
        if (!written) static_cast<void>(Os::remove(temp, temp_));
        return written;
    }

    // Over content of the same length: no cut and no new space. Should the
    // write fail, the old content goes back.
    static Status write_or_restore(File& file, std::string_view bytes, std::string_view old) {
        Status written = Os::write(file, bytes);
        if (!written) static_cast<void>(Os::write(file, old));
        return written;
    }

    // A shorter text is padded with spaces to the old length, which JSON
    // allows after its value, and only then cut to its own; should the write
    // or the cut fail (a full disk), the old content goes back.
    static Status write_padded(File& file, std::string_view bytes, std::string_view old) {
        std::string padded(bytes);
        if (padded.size() < old.size()) padded.append(old.size() - bytes.size(), ' ');
        Status written = Os::write(file, padded);
        if (written && padded.size() > bytes.size()) written = Os::cut(file, bytes.size());
        if (!written && Os::write(file, old)) static_cast<void>(Os::cut(file, old.size()));
        return written;
    }

    const Path& path_;
    Path temp_;
    const LockWait& wait_;
    const Update& update_;
    int failed_tries_ = 0;
    std::uint64_t temp_size_ = 0;
};

}  // namespace nimbra::platform::detail
