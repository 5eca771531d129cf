// The thin layer between the updater and the operating system.
//
// Every call that touches the machine (registry, files, folders, attributes,
// times, processes, the console, sleeping, ending the process) goes through
// this header. There is one implementation per OS: platform/win32 makes the
// real Win32 calls; platform/posix emulates a Windows machine inside the
// folder named by UPDATER_MACHINE. Nothing outside platform/ includes an OS
// header.
//
// Both sides split their files the same way, so each function's twin is in
// the file of the same name: each section below names its file. paths.cpp
// holds what the side's own files need to reach a path (the machine's folder
// mapping; the long "\\?\" form), declared in posix_internal.h and
// win32_internal.h. What both sides share sits in platform/ itself: the
// holder's retries (holder_retry.h), the ring that staged files are
// written through (stage_ring.h, stage_ring.cpp), the ring the archive is
// read and hashed through (read_ring.h, read_ring.cpp).
//
// Paths are Windows paths in the ANSI code page (C:\a\b, \a, a\b); results are
// Windows-shaped (0 / true for success) so the callers read like the Win32
// code they stand for. Every operation that can fail passes through the fault
// injector (fault_injection.h) first, so tests can make the N-th call of a
// kind fail without touching the callers.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Registry (read only): registry.cpp -------------------------------------

enum PlatformHive { kHiveLocalMachine = 0, kHiveCurrentUser = 1 };

struct PlatformKeyRecord;
using PlatformKey = PlatformKeyRecord*;

// Formats "a\b\c\leaf" into out (512 bytes), as wsprintfA with
// "%s\\%s\\%s\\%s" would.
void PlatformFormatKeyPath(char* out, const char* a, const char* b, const char* c,
                           const char* leaf);

// Opens subkey under hive for reading. Returns 0 and fills *key on success,
// non-zero when the key does not exist or cannot be opened.
long PlatformRegOpenKey(PlatformHive hive, const char* subkey, PlatformKey* key);

// With data == nullptr: returns 0 and sets *size to the value's data size when
// the value exists, non-zero otherwise. With a data buffer: copies at most
// *size bytes of the value's data into it (the caller passes the size that the
// first query gave). Names are matched without regard to ASCII case.
long PlatformRegQueryValue(PlatformKey key, const char* name, uint8_t* data, uint32_t* size);

void PlatformRegCloseKey(PlatformKey key);

// ---- Windows directory: windows_directory.cpp -------------------------------

// GetWindowsDirectoryA(buffer, size): on success the buffer holds the path
// and its terminator; on failure (the path does not fit) the buffer is left
// exactly as it was.
void PlatformGetWindowsDirectory(char* buffer, uint32_t size);

// ---- Reading files (the archive): files.cpp ---------------------------------

struct PlatformFileRecord;
using PlatformFile = PlatformFileRecord*;

// Opens path for binary reading; nullptr when it cannot be opened.
PlatformFile PlatformOpenForReading(const char* path);
// Opens an installed file only to look at its bytes, leaving its
// last-access time as it was where the process may (O_NOATIME; on Windows
// the handle tells the system not to update it; without the right to, the
// file is read plainly). nullptr when it cannot be opened; *absent is
// then true only when nothing is at path (a look that fails is no
// absence). Read and closed like any file opened for reading.
PlatformFile PlatformOpenToLook(const char* path, bool* absent);
// Reads up to count bytes; returns the number delivered, 0 at the end of the
// file or on a read error (PlatformReadFailed tells which).
size_t PlatformReadFile(PlatformFile file, void* destination, size_t count);
// True once a read of the file failed.
bool PlatformReadFailed(PlatformFile file);
void PlatformCloseFile(PlatformFile file);
// The file's size, and its last bytes (count, or all of a shorter file) into
// tail, *got their number; the next read starts at the beginning again. A
// file that has no size (a pipe, a device) gives *file_size UINT64_MAX and
// no bytes, and true. False when a file with a size cannot be measured or
// its last bytes cannot all be read: what they hold is unknown.
bool PlatformReadFileTail(PlatformFile file, uint8_t* tail, size_t count, uint64_t* file_size,
                          size_t* got);
// Puts the read position back at the beginning, for a second read through
// the same open file (nobody can replace it meanwhile on Windows, where it is
// open without write or delete sharing). False when that fails. A digest
// being made of the file is dropped.
bool PlatformRewindFile(PlatformFile file);
// From the file's beginning (nothing read yet since it was opened or
// rewound), makes the SHA-256 of its first limit bytes as they are read, on
// a thread of its own where one can start (read_ring.h): of the very bytes
// the reads hand over.
void PlatformDigestWhileReading(PlatformFile file, uint64_t limit);
// Reads on to the limit (or the file's end), waits for the digest and
// writes it (kDigestSize bytes). False when none was being made.
bool PlatformFinishReadDigest(PlatformFile file, uint8_t* out);

// ---- File status, attributes, folders, times: files.cpp ---------------------

constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
constexpr uint32_t kAttributeReadOnly = 0x1;
constexpr uint32_t kAttributeHidden = 0x2;
constexpr uint32_t kAttributeSystem = 0x4;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeArchive = 0x20;
constexpr uint32_t kAttributeNormal = 0x80;
constexpr uint32_t kAttributeReparsePoint = 0x400;  // a link: not a file the run may replace

// What a look at the system found. A look that fails for any other reason
// than the thing being absent (held without sharing, access denied, a
// system error) is unknown: the file may be there.
enum PlatformPresence { kFileAbsent, kFilePresent, kPresenceUnknown };

// The existence probe: whether a file stands at path, by opening it for
// binary reading (closed at once, nothing read). A folder is no file
// (absent here; the writability check refuses it).
PlatformPresence PlatformProbeFile(const char* path);

// What tells one file from another: its file ID (volume and index) and how
// many names it has. A file with more than one name is not lost when one of
// them is deleted.
struct PlatformFileIdentity {
  uint64_t volume;
  uint64_t index;
  uint32_t links;
};

// The identity of the file at path (a link itself, not followed). False
// when it cannot be read: unknown.
bool PlatformGetFileIdentity(const char* path, PlatformFileIdentity* identity);

// The file-status query: the last-write time in seconds since 1970-01-01 UTC.
// False when the query fails.
bool PlatformQueryLastWriteTime(const char* path, int64_t* seconds);

// GetFileAttributesA / SetFileAttributesA. Neither follows a link at path:
// a link reports kAttributeReparsePoint and its attributes are never set.
// Only a name surrogate (a symbolic link, a junction, a mount point; on the
// host anything but a plain file or folder) is a link: a file that another
// kind of reparse point marks (deduplicated, compressed by the system, a
// cloud placeholder) reports its word without the bit.
uint32_t PlatformGetFileAttributes(const char* path);
bool PlatformSetFileAttributes(const char* path, uint32_t attributes);

// CreateDirectoryA with default security and an inheritable handle flag.
// True only when this call made the folder and its name is on the disk (the
// parent folder flushed where the system allows it; a folder whose parent
// cannot be flushed is removed again and counts as not made).
bool PlatformCreateDirectory(const char* path);
// RemoveDirectoryA: removes an empty folder; false for one that holds anything.
bool PlatformRemoveDirectory(const char* path);

// Sets the last-access and last-write times of path to seconds (since
// 1970-01-01 UTC); the creation time is left alone.
bool PlatformSetFileTimes(const char* path, int64_t seconds);

// Calls found(context, name) for every file (not folder) directly in folder,
// with its name only. False when the folder could not be listed whole (a
// folder that does not exist holds nothing, and is listed).
bool PlatformListFiles(const char* folder, void (*found)(void* context, const char* name),
                       void* context);

// True when an existing file at path could be opened for writing right now
// (not in use by another process, not refused by the system), or when no file
// is there. False for a folder. Does not look at the read-only attribute: the
// caller tests that itself so both builds behave alike even when run as an
// administrator.
bool PlatformCanWriteExisting(const char* path);

// ---- Writing an entry, temporary file then one-step replace: output.cpp -----

struct PlatformOutputRecord;
using PlatformOutput = PlatformOutputRecord*;

constexpr size_t kMaxTempPath = 512;

// Creates a new, empty temporary file with a short unique name in the folder
// that the system would put destination in (its parent as the file calls
// parse it: two-byte characters whole, '/' a separator too), and opens it for
// buffered binary writing. Its full path is written to temp_path
// (kMaxTempPath bytes). nullptr when that folder cannot hold it (missing,
// refused, full).
PlatformOutput PlatformCreateTempFile(const char* destination, char* temp_path);
// Appends count bytes. False on any failure (disk full, ...); the caller
// then gives up the file.
bool PlatformWriteOutput(PlatformOutput output, const void* bytes, size_t count);
// Writes what is buffered, flushes the file to the disk (FlushFileBuffers,
// fsync) and closes it. False when a buffered write, the flush (a delayed
// write the disk refused) or the close failed.
bool PlatformCloseOutput(PlatformOutput output);
// Closes without caring about the result (used on the failure path).
void PlatformAbandonOutput(PlatformOutput output);

// ---- Writing behind the decoder: output.cpp, stage_ring.cpp (shared) -------
//
// A temporary file can be written while its data is still being decoded:
// the caller decodes straight into memory that the output lends it and hands
// each piece back; a second thread writes the pieces to the file in order
// and asks the system to start putting them on the disk at once, so that
// writing and flushing overlap the decoding instead of following it. Such a
// staged file is made quietly (the fault injector does not see it); when the
// run takes it up for its destination, the injector sees its creation, its
// writes and its close at the same points as those of a file written then.

// A place always has room for this many bytes.
constexpr size_t kStagePlaceRoom = 4096;

// Creates a temporary file beside destination as PlatformCreateTempFile does,
// for staging. nullptr when the folder cannot hold it (a missing folder
// too): the caller then keeps the data itself.
PlatformOutput PlatformStartStagedFile(const char* destination, char* temp_path);
// Where the next bytes of the staged file go: kStagePlaceRoom bytes of
// memory lent by the output. May wait until the writer has caught up.
uint8_t* PlatformStagePlace(PlatformOutput output);
// The first count bytes at the last place are the file's next bytes; the
// place moves on (PlatformStagePlace tells where).
void PlatformStageBytes(PlatformOutput output, size_t count);
// Hands over what is still held of the file: its data is complete. Another
// file may be staged after it.
void PlatformFinishStaging(PlatformOutput output);
// The run takes the staged file up for its destination: the injector sees
// the creation of a temporary file. False when that creation is to fail:
// the caller then discards the staged file (PlatformDiscardStagedFile), and
// names it when it stays.
bool PlatformTakeUpStagedFile(PlatformOutput output);
// Stands for a write of count of the staged bytes (already written behind):
// false once a write behind has failed, or when the injector fails the write.
bool PlatformConfirmOutput(PlatformOutput output, size_t count);
// Deletes a staged file that is not taken up and releases the output. False
// when the file could not be deleted (it stays under its temporary name);
// the fault injector sees it as a deletion.
bool PlatformDiscardStagedFile(PlatformOutput output);
bool PlatformDeleteFile(const char* path);

// What a replace that keeps the old file left on the disk. Whatever happens,
// the destination ends old or new, never absent while a copy exists, and no
// file that holds the only copy of either is deleted.
enum ReplaceOutcome {
  kReplaced,     // destination holds the new file; the old one (if any) is at backup_path
  kNotReplaced,  // destination as it was, the new file still at source; backup_path empty, or a
                 // second name of the old file that could not be deleted again or that was
                 // kept because a look at the destination failed
  kStranded,     // neither could be put back: no destination, old at backup_path, new at source
  kReplacedWrongWord,  // destination holds the new file, old at backup_path, but the new file
                       // could not be given final_attributes: the caller puts the old one back
};

// Puts the finished file at source in place of destination, keeping the old
// file under a backup name beside it (written to backup_path, kMaxTempPath
// bytes; empty when there was no old file): "~3pu-NAME.bak" for a
// destination named NAME, so that a later run can tell whose old file it
// is, or "~3puXXXX.bak" where that name is taken or too long. The destination
// ends with exactly final_attributes as part of the replace: a new file
// that cannot be given them before it moves counts as not replaced (the old
// one stays), one that cannot be given them after (ReplaceFile) as
// kReplacedWrongWord, which the caller undoes. The backup name is dropped
// again only where the destination was seen to name the old file still. A
// read-only old file is replaced as well; where the system refuses to
// replace one, its bit is cleared right before the move and set again when
// the move fails. The old file's creation time passes to the new one. A
// replace that the system leaves halfway (the old file moved away, the new
// one not moved in) is settled here: the old file goes back, or else the
// new one goes in. Whether the new file is in is read from the disk, never
// assumed from an error code.
ReplaceOutcome PlatformReplaceKeepingBackup(const char* source, const char* destination,
                                            uint32_t final_attributes, char* backup_path);

// Puts the old file at backup back in place of destination (undoing a
// replace), with the same kind of call as the replace, so that what did not
// stop the replace does not stop its undo either. False leaves both as they
// were.
bool PlatformRestoreBackup(const char* backup, const char* destination);

// What the look for an earlier run's backup of a destination found.
enum EarlierBackup {
  kNoEarlierBackup,  // no plain file with one name under the backup name
  kBackupFound,      // one: the destination's old file, which a crash left there
  kBackupUnknown,    // the look failed, or a link is there: the old file may be there
};

// Looks for the old file of destination (which has no file) that an earlier
// run left under the backup name "~3pu-NAME.bak" beside it: a replace that
// a crash cut off between its two renames. The backup's path goes to
// backup_path (kMaxTempPath bytes). A folder or a second name of another
// file under that name is no such backup.
EarlierBackup PlatformFindEarlierBackup(const char* destination, char* backup_path);

// Puts the file found at backup back at destination by a move that replaces
// nothing, retried while held. False when it did not move.
bool PlatformPutBackEarlierBackup(const char* backup, const char* destination);

// ---- Digests and signatures: crypto.cpp -------------------------------------
//
// SHA-256 and ECDSA P-256 verification from the system's own library (CNG's
// bcrypt.dll on Windows, OpenSSL's libcrypto on the host); the program holds
// no hashing or elliptic-curve code of its own.

constexpr size_t kDigestSize = 32;       // a SHA-256 digest
constexpr size_t kPublicPointSize = 65;  // a P-256 public key: 0x04, X, Y (32 bytes each)
constexpr size_t kSignatureSize = 64;    // an ECDSA P-256 signature: r, s (32 bytes each)

// A running SHA-256, kept in its owner's memory (no allocation that an
// owner could leak): each side places its state in the bytes.
constexpr size_t kDigestStateSize = 128;
struct PlatformDigest {
  alignas(8) uint8_t state[kDigestStateSize];
  bool running;  // started and neither finished nor dropped
};

// Starts a SHA-256 digest; false (and not running) when the system cannot
// give one.
bool PlatformStartDigest(PlatformDigest* digest);
// Adds count bytes to a running digest (nothing otherwise). When the system
// fails to take them, finishing the digest fails.
void PlatformAddToDigest(PlatformDigest* digest, const void* bytes, size_t count);
// Writes the digest of everything added (kDigestSize bytes) and ends it.
// False when it was not running or the system failed; out is then zero.
bool PlatformFinishDigest(PlatformDigest* digest, uint8_t* out);
// Ends a digest that is not wanted any more (one not running is fine).
void PlatformDropDigest(PlatformDigest* digest);

// True when signature (r, s) is a valid ECDSA P-256 signature by the key at
// public_point over the SHA-256 of message. False for anything else: a bad
// signature, a point that is not on the curve, a system failure.
bool PlatformVerifySignature(const uint8_t* public_point, const uint8_t* message, size_t size,
                             const uint8_t* signature);

// ---- Memory: memory.cpp -----------------------------------------------------

// Address space for up to size bytes, nullptr when there is none that large.
// Nothing of it is usable before PlatformCommitMemory; beyond its first
// megabytes the system may back it with large pages, which makes filling a
// large block cheaper.
uint8_t* PlatformReserveMemory(size_t size);
// Makes the first size bytes of a reservation usable (those committed before
// keep their contents). False when the memory cannot be had.
bool PlatformCommitMemory(uint8_t* base, size_t size);
// Gives a whole reservation back.
void PlatformReleaseMemory(uint8_t* base, size_t size);

// ---- Processes, pauses, the end of the process: process.cpp -----------------

// CreateProcessA(program, command_line) shown normally: starts the program
// at the path program, handing it command_line (which begins with that path)
// as it stands; never waits. Naming the program keeps a path with blanks
// from being split into another program's name.
void PlatformStartProgram(const char* program, const char* command_line);

// Sleeps; an interrupt ends the pause at once.
void PlatformSleep(uint32_t milliseconds);

// Writes what the console holds back and ends the process with status.
[[noreturn]] void PlatformExit(int status);

// ---- Interrupts: interrupts.cpp ----------------------------------------------

// From now on Ctrl-C, Ctrl-Break and closing the console (SIGINT, SIGTERM,
// SIGHUP on the host) no longer end the process: they only raise a flag that
// the run looks at where it is safe to stop, cut a pause short and end a
// wait for console input. On Windows, a console that is being closed waits
// (the system allows a few seconds) until the run has ended the process.
void PlatformWatchInterrupts();

// True once an interrupt has arrived.
bool PlatformInterrupted();

// ---- One run at a time, the run's log, the clock: run.cpp ------------------

enum RunLockResult {
  kRunLockTaken,        // this process holds the lock until it ends
  kRunLockBusy,         // another process holds it
  kRunLockUnavailable,  // no lock could be made (the run goes on without one)
};

enum RunLockMode {
  kRunLockExclusive,  // an update: nobody else on the installation
  kRunLockShared,     // a look (/verify): other looks may run beside it, no update
};

// Takes the lock of the installation folder: the file ~3pu.lock in it, held
// without sharing (an flock on the host), or shared only with other looks,
// which every spelling of the folder reaches. It is let go, and its file
// deleted by the last holder, when the process ends, in any way: a lock
// left by a killed process counts as free.
RunLockResult PlatformTakeRunLock(const char* install_directory, RunLockMode mode);

struct PlatformLogRecord;
using PlatformLog = PlatformLogRecord*;

// Opens path (created when missing) for appending; nullptr when it cannot be
// opened. Other processes may read and append meanwhile.
PlatformLog PlatformOpenLog(const char* path);
// Appends count bytes in one write, at the end of the file. False on failure.
bool PlatformAppendLog(PlatformLog log, const char* bytes, size_t count);
void PlatformCloseLog(PlatformLog log);
// Closes a log that is not to be used after all; a file that the open
// created and that is still empty is deleted again, so that the log leaves
// no file where none was.
void PlatformDiscardLog(PlatformLog log);

// Whether path names the very file the log is open on (the same device and
// inode; the same volume serial number and file ID), however it is spelled.
// A path with no file behind it is another file; a look that fails is
// unknown.
enum SameFileAnswer { kSameFile, kOtherFile, kSameFileUnknown };
SameFileAnswer PlatformLogIsFile(PlatformLog log, const char* path);

// Converts count bytes of code page 932 text to UTF-8 in out (at most
// capacity bytes); returns the bytes written. What has no Unicode form shows
// as '?'.
size_t PlatformToUtf8(const char* text, size_t count, char* out, size_t capacity);

// The time now, in seconds since 1970-01-01 00:00:00 UTC.
int64_t PlatformTimeNow();

// The computer's name in the ANSI code page (GetComputerNameA; the host's
// name on the emulated machine), cut to fit size; empty when unknown.
void PlatformGetComputerName(char* out, size_t size);

// The ID of this process.
uint32_t PlatformProcessId();

// ---- Console: console.cpp ---------------------------------------------------

// Writes code-page-932 bytes (line ends already CR LF) to standard output.
// When standard output is a console, the bytes are visible when the call
// returns, shown converted when the console does not use code page 932.
// Files and pipes get the bytes unchanged. Failures are ignored.
void PlatformWriteConsole(const char* bytes, size_t count);

constexpr int kConsoleEnded = -1;        // end of input or a read error
constexpr int kConsoleInterrupted = -2;  // an interrupt cut the wait short

// The next byte of buffered standard input, kConsoleEnded, or
// kConsoleInterrupted when an interrupt arrived while it waited (a read cut
// short by Ctrl-C is not the end of input).
int PlatformReadConsoleByte();
