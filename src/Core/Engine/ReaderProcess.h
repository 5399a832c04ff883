#pragma once
// Reading one file in a short-lived process of its own, the reader
// ("vintrelle-reader", installed beside the application): a decoder that
// crashes on the file then ends only that process, and the way it ended
// says whether reading the file crashes, which the end of the indexing
// process itself can never say (a kill, a logout, a crash elsewhere).
//
// The reader is started as: reader PARENT-PID photo|video FILE FALLBACK THUMB
// and writes to its standard output, once it has taken the request and is
// ready, `readingLine`, then what it read (see encode). It ends with its
// parent: a reader left behind would write thumbnails for a run that is gone.

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "Core/Index/Models.h"
#include "Core/Media/MediaProcessor.h"

namespace vintrelle::ReaderProcess {

// The reader's file name; the application looks for it in its own folder.
inline constexpr const char* fileName = "vintrelle-reader";

// What the reader says as it turns to the file: how it ends before then (a
// reader that cannot load its libraries, crashes as it starts, or fails on
// every request) says nothing about the file, however it ends.
inline constexpr std::string_view readingLine = "reading\n";

// The reader beside the running executable (empty when that cannot be told).
std::string besideThisProgram();

struct Outcome {
    enum class End {
        read,       // the reader ended normally and said what it read
        crashed,    // the reader died of a signal that a fault raises (segmentation fault, abort, ...)
        killed,     // another signal ended it, not ours (the out-of-memory killer, a user's kill)
        overran,    // still busy at the deadline: ended by us
        failed,     // it exited with an error, or said nothing that reads
        unstarted,  // no reader could be started: none there, not runnable, or no resources to start one
        refused,    // a reader started but would not take the request (see exitBadRequest)
        stopped,    // ended by us at a stop
    };
    End end = End::unstarted;
    ProcessedMedia media;
    int signal = 0;  // with crashed and killed
    int status = 0;  // with failed and refused: the exit status (0 when its output did not read)
    int error = 0;   // with unstarted: why (errno)
    // It had said it was reading the file (see readingLine): only then does
    // a crash, a failure or a deadline passed count against the file.
    bool reading = false;
};

// How the reader ends, having said nothing, when it will not serve a
// request: arguments it does not take (a reader of another version than the
// program beside it), or a parent other than the one named (something stands
// between the indexer and the reader without handing over to it). Either is
// the installation's fault, never the file's, and the file waits for a
// reader as when none can be started. Every other end stays evidence about
// the file: a decoder that exits on its bytes must not hide behind these.
inline constexpr int exitBadRequest = 2;
inline constexpr int exitWrongParent = 3;

// How long a reader may take over one file before it is taken for hung.
inline constexpr std::chrono::seconds defaultDeadline{120};

// Reads file with the reader at readerPath, waiting for it to end. A stop
// (stopped set) ends the reader at once; that is no crash. Nor is a reader
// still busy at the deadline: it is ended, so one file that makes a decoder
// spin never holds a worker for long.
Outcome read(const std::string& readerPath, MediaKind kind, const std::string& file, double fallbackDate,
             const std::string& thumbURL, const std::atomic<bool>& stopped,
             std::chrono::milliseconds deadline = defaultDeadline);

// Whether no reader could be started for now, for want of what the system
// lends a process (processes, memory, open files) or with the reader being
// replaced: a burst of load, or an update, gives it back. The installation
// is sound and the file is no worse: it is read again later.
bool unstartedForNow(const Outcome& outcome);

// Whether the reader is at fault rather than the file: none could be run,
// it refused the request, or it ended by its own hand before it turned to
// the file (crashing as it starts, failing on anything, hanging). The file
// waits for a reader, as when none is there. A reader killed from outside
// before it turned to the file is neither: the file is tried again later.
bool readerAtFault(const Outcome& outcome);

// One line for a log: how a reading ended, for the ends that are no reading.
std::string describe(const Outcome& outcome);

// What the reader writes: one "name value" line per present field, texts
// as hexadecimal bytes (camera names need be no UTF-8), numbers in their
// shortest exact form, then "end".
std::string encode(const ProcessedMedia& media);
std::optional<ProcessedMedia> decode(std::string_view text);

// The reader's main.
int serve(int argc, char** argv);

}  // namespace vintrelle::ReaderProcess
