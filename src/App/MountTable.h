#pragma once
// The kernel's table of mounted file systems (/proc/self/mountinfo) and the
// static table of /etc/fstab, read as plain text: which folders are mount
// points, and whether a path lies on one.

#include <string>
#include <string_view>
#include <vector>

namespace vintrelle {

struct MountEntry {
    std::string mountPoint;  // decoded, absolute
    std::string fsType;
    std::string source;
    bool operator==(const MountEntry&) const = default;
};

// Undoes the octal escapes the kernel and fstab use for blanks, tabs,
// newlines and backslashes in paths ("\040" is a blank). A backslash that
// does not start three octal digits stays as it is.
std::string decodeMountField(std::string_view field);

// One entry per well-formed line of mountinfo, in the file's order. The
// optional fields between the mount options and the "-" separator may be any
// in number; lines without the separator are skipped.
std::vector<MountEntry> parseMountInfo(std::string_view text);

// The absolute mount points listed in fstab (swap and pseudo entries such as
// "none" skipped), without trailing slashes.
std::vector<std::string> parseFstabMountPoints(std::string_view text);

// Whether `path` is `mountPoint` or lies below it, compared by whole path
// components ("/media/Photo" does not hold "/media/Photos"). The root holds
// nothing: every path would match it.
bool pathIsOnMount(std::string_view path, std::string_view mountPoint);

// Where `path` leads, every link followed; empty when it cannot be resolved.
std::string resolvedPath(const std::string& path);

// Whether a folder lies on another device than the folder that holds it:
// something is mounted on it. False for the root and for what cannot be read.
bool isOnDeviceOfItsOwn(const std::string& realPath);

}  // namespace vintrelle
