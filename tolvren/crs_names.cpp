// SPDX-License-Identifier: MIT
#include "crs_names.h"

#include <proj.h>

#include <memory>

namespace tolvren_cli {

namespace {

struct ContextCloser {
    void operator()(PJ_CONTEXT *context) const noexcept { proj_context_destroy(context); }
};
struct ObjectCloser {
    void operator()(PJ *object) const noexcept { proj_destroy(object); }
};
using Object = std::unique_ptr<PJ, ObjectCloser>;

// This thread's PROJ context (a context serves one thread at a time), quiet:
// a code PROJ does not know is an empty name, not a message.
PJ_CONTEXT *context() {
    thread_local const std::unique_ptr<PJ_CONTEXT, ContextCloser> ours = [] {
        std::unique_ptr<PJ_CONTEXT, ContextCloser> created(proj_context_create());
        if (created) proj_log_level(created.get(), PJ_LOG_NONE);
        return created;
    }();
    return ours.get();
}

std::string name_of(const Object &object) {
    const char *name = object ? proj_get_name(object.get()) : nullptr;
    return name ? name : "";
}

}  // namespace

std::string CrsNames::of_epsg(std::uint32_t code) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = by_code_.find(code);
        if (found != by_code_.end()) return found->second;
    }
    PJ_CONTEXT *ctx = context();
    std::string name;
    if (ctx) {
        const std::string text = std::to_string(code);
        name = name_of(Object(proj_create_from_database(ctx, "EPSG", text.c_str(), PJ_CATEGORY_CRS, 0, nullptr)));
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    by_code_.emplace(code, name);
    return name;
}

std::string CrsNames::of_wkt(const std::string &wkt) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = by_wkt_.find(wkt);
        if (found != by_wkt_.end()) return found->second;
    }
    PJ_CONTEXT *ctx = context();
    std::string name = ctx ? name_of(Object(proj_create(ctx, wkt.c_str()))) : "";
    const std::lock_guard<std::mutex> lock(mutex_);
    // The tiles of a delivery share a CRS: a few texts serve thousands of
    // files. Past the bound, names are found anew rather than kept.
    if (by_wkt_.size() < kMostTexts) by_wkt_.emplace(wkt, name);
    return name;
}

}  // namespace tolvren_cli
