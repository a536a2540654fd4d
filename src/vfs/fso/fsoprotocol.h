#pragma once

// Constants of the FSO file protocol: message classes and codes, status bytes, attribute
// bits, request flags and the limits every decoder enforces.

#include <cstddef>
#include <cstdint>

// --- message classes --------------------------------------------------------------------
constexpr std::uint8_t FSO_CLASS_REQUEST = 0x42;
constexpr std::uint8_t FSO_CLASS_REPLY = 0x43;

// --- codes (a reply is the request code | FSO_REPLY_BIT) ---------------------------------
constexpr std::uint8_t FSO_REPLY_BIT = 0x80;
constexpr std::uint8_t FSO_LIST_DIRECTORY = 0x0A;
constexpr std::uint8_t FSO_QUERY_LIST_DIRECTORY = 0x0B;
constexpr std::uint8_t FSO_LIST_DRIVES = 0x0C;
constexpr std::uint8_t FSO_MOVE = 0x0F;
constexpr std::uint8_t FSO_OPEN_FILE = 0x10;
constexpr std::uint8_t FSO_READ_FILE = 0x11;
constexpr std::uint8_t FSO_WRITE_FILE = 0x12;
constexpr std::uint8_t FSO_DELETE_FILE = 0x13;
constexpr std::uint8_t FSO_MAKE_DIRECTORY = 0x14;
constexpr std::uint8_t FSO_CLOSE_FILE = 0x15;
constexpr std::uint8_t FSO_HASH_FILE = 0x16;
constexpr std::uint8_t FSO_DIRECTORY_CHANGED = 0x18; // server to client, no request
// Puts on disk what the peer wrote to the file system holding a folder, and what it opened
// there to read (vfsflushes.h). A copy asks it once at its end instead of a flush per file; a
// peer that predates it drops it unanswered.
constexpr std::uint8_t FSO_SYNC = 0x19;
// Makes a new file whole in one request: its bytes (one block), times and permissions, built
// under a hidden name of the same folder and renamed to its real name once complete, never
// over an existing name. From version 4 on; a copy asks it only of a peer that announced it.
constexpr std::uint8_t FSO_PUT_FILE = 0x1A;
// Reads a whole small file in one request: open, read and close. Status 7 (end of file) when
// the data is all of it. From version 4 on, like FSO_PUT_FILE.
constexpr std::uint8_t FSO_GET_FILE = 0x1B;

constexpr std::uint8_t FSO_LIST_DIRECTORY_REPLY = FSO_LIST_DIRECTORY | FSO_REPLY_BIT;             // 0x8A
constexpr std::uint8_t FSO_QUERY_LIST_DIRECTORY_REPLY = FSO_QUERY_LIST_DIRECTORY | FSO_REPLY_BIT; // 0x8B
constexpr std::uint8_t FSO_LIST_DRIVES_REPLY = FSO_LIST_DRIVES | FSO_REPLY_BIT;                   // 0x8C
constexpr std::uint8_t FSO_MOVE_REPLY = FSO_MOVE | FSO_REPLY_BIT;                                 // 0x8F
constexpr std::uint8_t FSO_OPEN_FILE_REPLY = FSO_OPEN_FILE | FSO_REPLY_BIT;                       // 0x90
constexpr std::uint8_t FSO_READ_FILE_REPLY = FSO_READ_FILE | FSO_REPLY_BIT;                       // 0x91
constexpr std::uint8_t FSO_WRITE_FILE_REPLY = FSO_WRITE_FILE | FSO_REPLY_BIT;                     // 0x92
constexpr std::uint8_t FSO_DELETE_FILE_REPLY = FSO_DELETE_FILE | FSO_REPLY_BIT;                   // 0x93
constexpr std::uint8_t FSO_MAKE_DIRECTORY_REPLY = FSO_MAKE_DIRECTORY | FSO_REPLY_BIT;             // 0x94
constexpr std::uint8_t FSO_CLOSE_FILE_REPLY = FSO_CLOSE_FILE | FSO_REPLY_BIT;                     // 0x95
constexpr std::uint8_t FSO_HASH_FILE_REPLY = FSO_HASH_FILE | FSO_REPLY_BIT;                       // 0x96
constexpr std::uint8_t FSO_SYNC_REPLY = FSO_SYNC | FSO_REPLY_BIT;                                 // 0x99
constexpr std::uint8_t FSO_PUT_FILE_REPLY = FSO_PUT_FILE | FSO_REPLY_BIT;                         // 0x9A
constexpr std::uint8_t FSO_GET_FILE_REPLY = FSO_GET_FILE | FSO_REPLY_BIT;                         // 0x9B

// --- status bytes ------------------------------------------------------------------------
constexpr std::uint8_t FSO_STATUS_SUCCESS = 0;
constexpr std::uint8_t FSO_STATUS_IO_ERROR = 1;
constexpr std::uint8_t FSO_STATUS_INVALID_PARAMETER = 2;
constexpr std::uint8_t FSO_STATUS_NOT_FOUND = 3;
constexpr std::uint8_t FSO_STATUS_NOT_PERMITTED = 4;
constexpr std::uint8_t FSO_STATUS_NOT_A_DIRECTORY = 5;
constexpr std::uint8_t FSO_STATUS_END_OF_FILE = 7;
constexpr std::uint8_t FSO_STATUS_COMPLETE = 8;
constexpr std::uint8_t FSO_STATUS_SAME_PATH = 9;
constexpr std::uint8_t FSO_STATUS_INVALID_OFFSET = 11;
constexpr std::uint8_t FSO_STATUS_INVALID_HANDLE = 13;
constexpr std::uint8_t FSO_STATUS_NETWORK_PATH = 14;
constexpr std::uint8_t FSO_STATUS_EXISTS = 15;
constexpr std::uint8_t FSO_STATUS_CROSS_VOLUME = 16;
constexpr std::uint8_t FSO_STATUS_TIMEOUT = 17; // set by the client, never on the wire
// The volume has no room: a short write (its count says how much was written) or an
// extend beyond the free space.
constexpr std::uint8_t FSO_STATUS_DISK_FULL = 18;
// DELETE_FILE named the version of the file it may delete (its change stamp), and the file
// is another one now: it changed since, and stays.
constexpr std::uint8_t FSO_STATUS_CHANGED = 19;

// --- attribute bits (value 0 of an attribute set with mask 1) ----------------------------
constexpr std::uint32_t FSO_ATTR_TYPE = 0x001;        // u8 in an entry
constexpr std::uint32_t FSO_ATTR_SIZE = 0x002;        // u64
constexpr std::uint32_t FSO_ATTR_UNUSED_004 = 0x004;  // never granted
constexpr std::uint32_t FSO_ATTR_ACCESS_TIME = 0x008; // i64 ms since the epoch
constexpr std::uint32_t FSO_ATTR_BIRTH_TIME = 0x010;  // i64
constexpr std::uint32_t FSO_ATTR_MODIFY_TIME = 0x020; // i64
constexpr std::uint32_t FSO_ATTR_LINK_TARGET = 0x040; // str + u8, only with 0x080
constexpr std::uint32_t FSO_ATTR_RESOLVE_LINK = 0x080;
constexpr std::uint32_t FSO_ATTR_MODE = 0x100;        // u16
constexpr std::uint32_t FSO_ATTR_FILE_INDEX = 0x200;  // u64
constexpr std::uint32_t FSO_ATTR_LINK_COUNT = 0x400;  // u32
constexpr std::uint32_t FSO_ATTR_ALL = 0x7FB;         // what a listing asks unless its record says more
// The entry's permission bits (u16, those of chmod: 07777; of the target for a followed
// link). What a copy gives the files and folders it makes.
constexpr std::uint32_t FSO_ATTR_PERMISSIONS = 0x800;
// The entry's change time (i64, ns since the epoch; no user can set it, every write and
// every change of its times moves it) and its inode number (u64), for files and folders
// alike. Size and modification time can be put back after a rewrite; these can't.
constexpr std::uint32_t FSO_ATTR_CHANGE_STAMP = 0x1000;
// What the server grants of what is asked. A server that predates a bit leaves it out of
// the granted set, and its entries are read without it.
constexpr std::uint32_t FSO_ATTR_GRANTABLE = FSO_ATTR_ALL | FSO_ATTR_PERMISSIONS | FSO_ATTR_CHANGE_STAMP;
// OPEN_FILE in versions 2 and 3 carries only these bits.
constexpr std::uint32_t FSO_ATTR_OPEN_FILE_BITS = 0x3A;

// Access mode word of an entry (FSO_ATTR_MODE).
constexpr std::uint16_t FSO_MODE_READABLE = 0x4000;
constexpr std::uint16_t FSO_MODE_WRITABLE = 0x2000;
constexpr std::uint16_t FSO_MODE_EXECUTABLE = 0x1000;

// --- entry types -------------------------------------------------------------------------
// On the wire: 0 other, 1 directory, 2 file, 3 symbolic link, 8 share entry; 4..7 pass
// through, larger values read as 0; bit 0x80 marks a hidden entry.
constexpr std::uint8_t FSO_WIRE_TYPE_OTHER = 0;
constexpr std::uint8_t FSO_WIRE_TYPE_DIRECTORY = 1;
constexpr std::uint8_t FSO_WIRE_TYPE_FILE = 2;
constexpr std::uint8_t FSO_WIRE_TYPE_LINK = 3;
constexpr std::uint8_t FSO_WIRE_TYPE_SHARE = 8;
constexpr std::uint8_t FSO_WIRE_HIDDEN = 0x80;
// Decoded (VfsDirectoryEntry::type): the wire's 1 and 2 swapped.
constexpr std::uint8_t FSO_ENTRY_OTHER = 0;
constexpr std::uint8_t FSO_ENTRY_FILE = 1;
constexpr std::uint8_t FSO_ENTRY_DIRECTORY = 2;
constexpr std::uint8_t FSO_ENTRY_LINK = 3;
constexpr std::uint8_t FSO_ENTRY_SHARE = 8;
// An entry the server could not hand over: its name cannot be written in a protocol path
// (not UTF-8), or it could not be looked at. It carries a readable stand-in name (U+FFFD
// for what does not decode) and no attributes, so the peer can name what it never gets.
// The same value on the wire and decoded; a peer that does not know it sees an entry of
// an unknown kind.
constexpr std::uint8_t FSO_ENTRY_LEFT_OUT = 7;

// --- request flags -----------------------------------------------------------------------
constexpr std::uint32_t FSO_LISTDIR_HIDDEN = 0x01;
constexpr std::uint32_t FSO_LISTDIR_SYSTEM = 0x02;
constexpr std::uint32_t FSO_LISTDIR_WATCH = 0x04;
constexpr std::uint32_t FSO_LISTDIR_BACKSLASH = 0x08;
constexpr std::uint32_t FSO_LISTDIR_VOLUME_SERIAL = 0x10;
constexpr std::uint32_t FSO_LISTDIR_ECHO_MASK = 0x1F;

constexpr std::uint32_t FSO_MOVE_SAME_VOLUME = 0x1;
constexpr std::uint32_t FSO_MOVE_NO_REPLACE = 0x2;

constexpr std::uint32_t FSO_OPEN_READ = 0x01;
constexpr std::uint32_t FSO_OPEN_WRITE = 0x02;
constexpr std::uint32_t FSO_OPEN_TRUNCATE = 0x04;
constexpr std::uint32_t FSO_OPEN_ATTRIBUTES = 0x10;
constexpr std::uint32_t FSO_OPEN_EXCLUSIVE = 0x20;

constexpr std::uint8_t FSO_READ_CLOSE = 0x1;
constexpr std::uint8_t FSO_READ_CLOSE_AT_EOF = 0x4;

constexpr std::uint8_t FSO_WRITE_CLOSE = 0x1;
constexpr std::uint8_t FSO_WRITE_EXTEND = 0x4;

constexpr std::uint32_t FSO_DELETE_TO_TRASH = 0x1;
// What the file views send for a permanent delete; the server does not look at it, so a
// folder goes with everything it holds.
constexpr std::uint32_t FSO_DELETE_PERMANENT = 0x2;
// A folder goes only when it is empty, never with what it holds: one that is not empty
// answers status 1 and stays. Files are deleted as usual; with FSO_DELETE_TO_TRASH the bit
// is ignored.
constexpr std::uint32_t FSO_DELETE_ONLY_EMPTY = 0x4;

constexpr std::uint32_t FSO_MKDIR_FAIL_IF_EXISTS = 0x1;
constexpr std::uint32_t FSO_MKDIR_DETAIL_EXISTED = 4;
constexpr std::uint32_t FSO_MKDIR_DETAIL_NOT_A_DIRECTORY = 12;

constexpr std::uint8_t FSO_HASH_SHA1 = 0x1;

// --- protocol versions ---------------------------------------------------------------------
constexpr std::uint16_t FSO_PROTOCOL_VERSION_MIN = 1;
constexpr std::uint16_t FSO_PROTOCOL_VERSION = 4;
// The first version whose servers know FSO_PUT_FILE and FSO_GET_FILE.
constexpr std::uint16_t FSO_PROTOCOL_VERSION_PUT_FILE = 4;

// --- limits ------------------------------------------------------------------------------
constexpr std::size_t FSO_MAX_PATH = 1023;          // bytes of UTF-8 in request paths and reply paths
constexpr std::size_t FSO_PATH_BUFFER = 1024;       // FSO_MAX_PATH + NUL
constexpr std::size_t FSO_MAX_NAME = 1022;          // bytes of UTF-8 in an entry name
constexpr std::size_t FSO_MAX_DATA = 64400;         // READ reply / WRITE request data block
constexpr std::size_t FSO_MAX_DIGEST_BLOCK = 64400; // HASH reply digest block
constexpr std::size_t FSO_DIGEST_SIZE = 20;         // SHA-1
constexpr std::size_t FSO_MAX_DIGESTS = FSO_MAX_DIGEST_BLOCK / FSO_DIGEST_SIZE; // 3220
constexpr std::size_t FSO_MAX_DRIVES = 32;          // drive records decoded per reply
constexpr std::size_t FSO_DRIVE_STRING_AREA = 64400; // all strings of one drive reply
constexpr std::size_t FSO_MAX_ENTRY_BLOCK = 65534;  // entry block of one listing page
constexpr std::size_t FSO_MAX_LIST_REPLY = 65535;   // one QUERY_LIST_DIRECTORY reply in all
constexpr std::size_t FSO_MAX_DRIVES_REPLY = 2048;  // one LIST_DRIVES reply in all
// Entries one listing may collect before the client ends it with an error; keeps a peer
// from growing a listing without bound.
constexpr std::size_t FSO_MAX_LISTING_ENTRIES = 1000000;

// --- client timeouts (ms) ------------------------------------------------------------------
constexpr int FSO_TIMEOUT_MS = 15000;
constexpr int FSO_TRANSFER_TIMEOUT_MS = 60000; // READ_FILE and WRITE_FILE
