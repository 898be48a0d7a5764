// What kind of file system holds a file, told by the file system's type: one
// on a drive of this machine, one that holds its files in memory, or one
// served from elsewhere (a network share, a FUSE server), whose every answer
// may take a round trip; and whether its drive is a rotating disk. Where each
// kind is read differently is left to the rooms that read.
#pragma once

#include <sys/types.h>

#include <string>

enum class FileSystemKind { drive, memory, served };

// The kind of the file system holding `path`; a drive where that cannot be
// told.
FileSystemKind file_system_kind(const std::string& path);

// True when `path` lies on a rotating disk (a hard disk, in a USB case too):
// the kernel calls its device rotational, and the device's reads so far took
// a seek's time on average, or there were none yet. A virtual machine's disk
// is called rotational too, but answers sooner. False where that cannot be
// told (a file system of several devices, or none).
bool on_rotating_disk(const std::string& path);
