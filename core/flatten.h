// Flattening: calls inlined, loops unrolled, caches lowered, from one entry.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

#include "core/ast.h"

namespace quarvel {

using CacheKeys = std::unordered_set<std::string>;

// A new module holding only `entry`, flattened; `cache_keys` names the warm slots.
Module flatten_module(const Module& module, std::string_view entry, const CacheKeys& cache_keys);

}  // namespace quarvel
