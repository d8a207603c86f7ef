// One counted reference to a GObject (GMime's messages, parts, streams), over pvx::unique_any.
#pragma once

#include <glib-object.h>

#include "unique_any.h"

namespace pvx {

namespace detail {
template <class T>
void unref_gobject(T* object) noexcept {
  g_object_unref(object);
}
}  // namespace detail

template <class T>
using unique_gobject = unique_any<T*, &detail::unref_gobject<T>>;

}  // namespace pvx
