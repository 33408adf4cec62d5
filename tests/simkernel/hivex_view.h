/*
 * hivex_view.h - what a hive file holds as hivex reads it, one line per
 * key and value, for tests that hold our reader and writer against it.
 */
#pragma once

#include <hivex.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace qtest {

inline std::string Digest(const uint8_t *p, size_t n)
{
    uint64_t h = 1469598103934665603ULL;
    for (size_t i = 0; i < n; i++)
        h = (h ^ p[i]) * 1099511628211ULL;
    char text[64];
    snprintf(text, sizeof(text), "%zu:%016llx", n, (unsigned long long)h);
    return text;
}

/* The same lines as hivex reads the file. */
inline void DumpHivex(hive_h *h, hive_node_h node, const std::string &indent, bool nameRoot,
                      std::string *out)
{
    char *name = hivex_node_name(h, node);
    *out += indent + "key " + (indent.empty() && !nameRoot ? "" : name ? name : "<error>") + "\n";
    free(name);
    hive_value_h *values = hivex_node_values(h, node);
    for (hive_value_h *v = values; v && *v; v++) {
        char *vname = hivex_value_key(h, *v);
        /* The enum cannot hold every type a file stores; take its bytes. */
        alignas(hive_type) unsigned char slot[sizeof(hive_type)] = {};
        size_t len = 0;
        char *data = hivex_value_value(h, *v, reinterpret_cast<hive_type *>(slot), &len);
        uint32_t type;
        memcpy(&type, slot, sizeof(type));
        *out += indent + "  value " + (vname ? vname : "<error>") + " type " +
                std::to_string(type) + " " +
                (data ? Digest((const uint8_t *)data, len) : "unreadable") + "\n";
        free(vname);
        free(data);
    }
    free(values);
    hive_node_h *children = hivex_node_children(h, node);
    for (hive_node_h *c = children; c && *c; c++)
        DumpHivex(h, *c, indent + "  ", nameRoot, out);
    free(children);
}

inline std::string HivexView(const std::string &path, bool nameRoot)
{
    hive_h *h = hivex_open(path.c_str(), 0);
    if (!h)
        return "hivex refuses the file";
    std::string out;
    DumpHivex(h, hivex_root(h), "", nameRoot, &out);
    hivex_close(h);
    return out;
}

} // namespace qtest
