/*
 * file_names.cpp - names on a volume: NTFS's rule for a component, the
 * host form of a name, and the walk of a path over the host tree, matching
 * each component ignoring case and following host links that stay inside
 * the volume.
 */
#include "simkernel/text.h"
#include "simkernel/upcase.h"
#include "simkernel/volume.h"

#include <dirent.h>
#include <errno.h>
#include <unistd.h>

namespace sk {
namespace fs {

std::string HostName(std::u16string_view name)
{
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        uint32_t c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
            name[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<std::u16string> NtName(const std::string &hostName)
{
    std::u16string out;
    const auto *s = (const unsigned char *)hostName.data();
    const size_t n = hostName.size();
    bool previousWasHighSurrogate = false;
    for (size_t i = 0; i < n;) {
        uint32_t c = s[i];
        size_t extra;
        uint32_t min;
        if (c < 0x80) {
            extra = 0;
            min = 0;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            min = 0x80;
            c &= 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            min = 0x800;
            c &= 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            min = 0x10000;
            c &= 0x07;
        } else {
            return std::nullopt;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= n || (s[i + k] & 0xC0) != 0x80)
                return std::nullopt;
            c = (c << 6) | (s[i + k] & 0x3F);
        }
        if (c < min || c > 0x10FFFF)
            return std::nullopt;
        /* A pair written as two separate surrogates would not come back
         * from HostName: only lone ones have the three-byte form. */
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        const bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (low && previousWasHighSurrogate)
            return std::nullopt;
        previousWasHighSurrogate = high;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += (char16_t)(0xD800 + (c >> 10));
            out += (char16_t)(0xDC00 + (c & 0x3FF));
        } else {
            out += (char16_t)c;
        }
        i += extra + 1;
    }
    return out;
}

NTSTATUS CheckComponent(std::u16string_view name)
{
    if (name.empty() || name.size() > kMaxComponentChars)
        return STATUS_OBJECT_NAME_INVALID;
    if (name == u"." || name == u"..")
        return STATUS_OBJECT_NAME_INVALID;
    for (char16_t c : name) {
        if (c < 0x20)
            return STATUS_OBJECT_NAME_INVALID;
        switch (c) {
        case u'"': case u'*': case u'/': case u':': case u'<':
        case u'>': case u'?': case u'\\': case u'|':
            return STATUS_OBJECT_NAME_INVALID;
        default:
            break;
        }
    }
    return STATUS_SUCCESS;
}

std::vector<std::u16string> SplitPath(std::u16string_view path)
{
    std::vector<std::u16string> parts;
    size_t start = (!path.empty() && path[0] == u'\\') ? 1 : 0;
    if (start >= path.size())
        return parts;
    for (;;) {
        size_t end = path.find(u'\\', start);
        parts.emplace_back(path.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos
                                                                                : end - start));
        if (end == std::u16string_view::npos)
            break;
        start = end + 1;
    }
    return parts;
}

std::u16string JoinPath(const std::u16string &parent, const std::u16string &name)
{
    return parent == u"\\" ? u"\\" + name : parent + u"\\" + name;
}

std::u16string ParentPath(const std::u16string &path)
{
    size_t cut = path.rfind(u'\\');
    return cut == 0 || cut == std::u16string::npos ? std::u16string(u"\\") : path.substr(0, cut);
}

std::u16string LastComponent(const std::u16string &path)
{
    size_t cut = path.rfind(u'\\');
    return cut == std::u16string::npos ? path : path.substr(cut + 1);
}

bool IsBelow(const std::u16string &path, const std::u16string &directory)
{
    if (directory == u"\\")
        return path != u"\\";
    if (path.size() <= directory.size() + 1 || path[directory.size()] != u'\\')
        return false;
    return EqualIgnoringCase(path.substr(0, directory.size()), directory);
}

std::string HostPath(const Volume &volume, const std::u16string &path)
{
    std::string host = volume.hostRoot;
    for (const std::u16string &part : SplitPath(path)) {
        host += '/';
        host += HostName(part);
    }
    return host.empty() ? std::string("/") : host;
}

NTSTATUS StatusFromErrno(int error)
{
    switch (error) {
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR: return STATUS_OBJECT_PATH_NOT_FOUND;
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case EACCES:
    case EPERM:
    case EROFS: return STATUS_ACCESS_DENIED;
    case ENOTEMPTY: return STATUS_DIRECTORY_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT: return STATUS_DISK_FULL;
    case ENAMETOOLONG: return STATUS_NAME_TOO_LONG;
    case EMFILE:
    case ENFILE:
    case ENOMEM: return STATUS_INSUFFICIENT_RESOURCES;
    case EXDEV: return STATUS_NOT_SAME_DEVICE;
    case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
    default: return STATUS_UNEXPECTED_IO_ERROR;
    }
}

EntryKind KindOf(const struct stat &st)
{
    if (S_ISREG(st.st_mode))
        return EntryKind::File;
    if (S_ISDIR(st.st_mode))
        return EntryKind::Directory;
    if (S_ISLNK(st.st_mode))
        return EntryKind::Link;
    return EntryKind::Other;
}

bool LinkPointsAtDirectory(const std::string &hostPath)
{
    struct stat st;
    return stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::u16string> FindEntry(const std::string &hostDirectory, const std::u16string &name,
                                        struct stat *st)
{
    if (lstat((hostDirectory + '/' + HostName(name)).c_str(), st) == 0)
        return name;
    if (errno != ENOENT)
        return std::nullopt;
    std::shared_ptr<const DirectoryIndex> index = IndexOf(hostDirectory);
    if (!index)
        return std::nullopt;
    /* Names that differ only in case cannot both exist on NTFS; of such
     * host names the lowest is taken, so the choice is stable. */
    auto found = index->lower_bound(Upcase(name));
    if (found == index->end() || found->upcased != Upcase(name))
        return std::nullopt;
    std::optional<std::u16string> best = found->name;
    if (best && lstat((hostDirectory + '/' + HostName(*best)).c_str(), st) != 0)
        return std::nullopt;
    return best;
}

namespace {

/* Resolves "." and ".." of an absolute host path without touching the
 * host. */
std::string Normalize(const std::string &path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out;
    for (const std::string &part : parts)
        out += '/' + part;
    return out.empty() ? "/" : out;
}

/* The components, from the volume root, of what a host link points at;
 * a target outside the volume cannot be followed. */
NTSTATUS LinkTarget(const Volume &volume, const std::string &linkHost,
                    std::vector<std::u16string> *components)
{
    std::string target(4096, '\0');
    ssize_t n = readlink(linkHost.c_str(), &target[0], target.size());
    if (n < 0)
        return StatusFromErrno(errno);
    target.resize((size_t)n);
    if (target.empty())
        return STATUS_REPARSE_POINT_NOT_RESOLVED;
    if (target[0] != '/')
        target = linkHost.substr(0, linkHost.rfind('/')) + '/' + target;
    target = Normalize(target);
    const std::string &root = volume.hostRoot;
    std::string rest;
    if (target == root)
        rest = "";
    else if (target.compare(0, root.size(), root) == 0 && target[root.size()] == '/')
        rest = target.substr(root.size() + 1);
    else
        return STATUS_REPARSE_POINT_NOT_RESOLVED;
    components->clear();
    size_t start = 0;
    while (start < rest.size()) {
        size_t end = rest.find('/', start);
        if (end == std::string::npos)
            end = rest.size();
        std::optional<std::u16string> part = NtName(rest.substr(start, end - start));
        if (!part || !NT_SUCCESS(CheckComponent(*part)))
            return STATUS_REPARSE_POINT_NOT_RESOLVED;
        components->push_back(*part);
        start = end + 1;
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS Walk(const Volume &volume, const std::u16string &start,
              const std::vector<std::u16string> &components, bool openLink, Walked *out)
{
    std::vector<std::u16string> todo = components;
    std::u16string current = start;
    int follows = 0;
    size_t i = 0;
    while (i < todo.size()) {
        const bool last = i + 1 == todo.size();
        struct stat st;
        std::optional<std::u16string> stored = FindEntry(HostPath(volume, current), todo[i], &st);
        if (!stored) {
            if (!last)
                return STATUS_OBJECT_PATH_NOT_FOUND;
            out->kind = EntryKind::Missing;
            out->parentPath = current;
            out->path = JoinPath(current, todo[i]);
            return STATUS_SUCCESS;
        }
        const std::u16string path = JoinPath(current, *stored);
        const EntryKind kind = KindOf(st);
        if (kind == EntryKind::Link && (!last || !openLink)) {
            if (++follows > kMaxLinkFollows)
                return STATUS_REPARSE_POINT_NOT_RESOLVED;
            std::vector<std::u16string> target;
            NTSTATUS status = LinkTarget(volume, HostPath(volume, path), &target);
            if (!NT_SUCCESS(status))
                return status;
            target.insert(target.end(), todo.begin() + (long)i + 1, todo.end());
            todo = std::move(target);
            current = u"\\";
            i = 0;
            continue;
        }
        if (last) {
            out->kind = kind;
            out->path = path;
            out->parentPath = current;
            out->st = st;
            out->linkToDirectory =
                kind == EntryKind::Link && LinkPointsAtDirectory(HostPath(volume, path));
            return STATUS_SUCCESS;
        }
        if (kind != EntryKind::Directory)
            return STATUS_OBJECT_PATH_NOT_FOUND;
        current = path;
        ++i;
    }
    /* No component left: the start itself, or the root a link led to. */
    if (lstat(HostPath(volume, current).c_str(), &out->st) != 0)
        return STATUS_OBJECT_PATH_NOT_FOUND;
    out->kind = KindOf(out->st);
    out->path = current;
    out->parentPath = ParentPath(current);
    return STATUS_SUCCESS;
}

bool HostDirectoryEmpty(const std::string &hostPath)
{
    DIR *dir = opendir(hostPath.c_str());
    if (!dir)
        return false;
    bool empty = true;
    while (struct dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    closedir(dir);
    return empty;
}

} // namespace fs
} // namespace sk
