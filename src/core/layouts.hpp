// The registry of the layouts this library reads: their descriptions, lookup
// by name, and the step from a description to its layout type.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <variant>

#include "layout.hpp"
#include "panic.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vorn {

template <class... L>
struct LayoutList {
  static_assert((well_formed(L::kDesc) && ...), "a description whose fields do not fit its header");
  // The descriptions, in registration order.
  static constexpr std::array<const LayoutDesc*, sizeof...(L)> kDescs{&L::kDesc...};
  static constexpr std::size_t kMaxFields = std::max({L::kDesc.fields.size()...});
  // One record reader of any layout; its index is the layout's in kDescs.
  using Readers = std::variant<typename L::Reader...>;

  // f.template operator()<T>() for the layout type T whose description is
  // `desc` (one of kDescs).
  template <class F>
  static decltype(auto) visit(const LayoutDesc& desc, F&& f) {
    return visit_from<L...>(desc, f);
  }

 private:
  template <class First, class... Rest, class F>
  static decltype(auto) visit_from(const LayoutDesc& desc, F& f) {
    if constexpr (sizeof...(Rest) != 0) {
      if (&desc != &First::kDesc) return visit_from<Rest...>(desc, f);
    } else {
      if (&desc != &First::kDesc) panic(std::string("unregistered layout ") + desc.name);
    }
    return f.template operator()<First>();
  }
};

// Every layout, registered once here.
using Layouts = LayoutList<WD1, WD2>;

// The description named exactly `name`, or nullptr.
constexpr const LayoutDesc* find_layout(std::string_view name) noexcept {
  for (const LayoutDesc* d : Layouts::kDescs) {
    if (name == d->name) return d;
  }
  return nullptr;
}

}  // namespace vorn
