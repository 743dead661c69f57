// Arrow C data and C stream structures straight over a batch's memory. The
// arrays of a batch the decoder made are taken from its native batch, beside
// the NumPy arrays made from it, and share its memory, so their release needs
// no interpreter; only an array a user put into a batch is found from the
// NumPy array (buffer_of), and a node over memory NumPy owns keeps a Python
// reference.
#include "arrow_export.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "any_thread.hpp"
#include "column_memory.hpp"
#include "feature_args.hpp"
#include "native_batch.hpp"
#include "numpy_api.hpp"
#include "py_support.hpp"
#include "reduce.hpp"

namespace vorn {
namespace {

// Releases a structure that nobody moved out (release != nullptr), then frees
// it: what a capsule does when it goes, and what a failed export does.
template <class T>
void release_and_delete(T* p) {
  if (p->release) p->release(p);
  delete p;
}
template <class T>
struct ReleaseAndDelete {
  void operator()(T* p) const { release_and_delete(p); }
};
template <class T>
using Exported = std::unique_ptr<T, ReleaseAndDelete<T>>;

template <class T>
struct CapsuleName;
template <>
struct CapsuleName<ArrowSchema> {
  static constexpr const char* value = "arrow_schema";
};
template <>
struct CapsuleName<ArrowArray> {
  static constexpr const char* value = "arrow_array";
};
template <>
struct CapsuleName<ArrowArrayStream> {
  static constexpr const char* value = "arrow_array_stream";
};

// Runs when the capsule goes: a structure the consumer moved out has release
// == nullptr and is only freed. Not noexcept: see any_thread.hpp.
template <class T>
void capsule_free(PyObject* capsule) {
  auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, CapsuleName<T>::value));
  if (!p) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  release_and_delete(p);
}

// Ownership moves to the capsule only once it exists.
template <class T>
PyObject* to_capsule(Exported<T> p) {
  PyObject* capsule = PyCapsule_New(p.get(), CapsuleName<T>::value, capsule_free<T>);
  if (capsule) (void)p.release();
  return capsule;
}

// Child structures live in their parent's private data; a consumer may move a
// child out (its release then reads nullptr), and what it moved owns itself.
template <class T>
class Children {
 public:
  explicit Children(std::size_t n)
      : n_(n), items_(std::make_unique<T[]>(n)), ptrs_(std::make_unique<T*[]>(n)) {
    for (std::size_t i = 0; i < n; ++i) ptrs_[i] = &items_[i];
  }
  // Releases the children nobody moved out: a schema's, which need no
  // interpreter, or those of an array whose export failed, on the thread that
  // holds the lock (release_array takes its children apart itself).
  ~Children() {
    for (std::size_t i = 0; i < n_; ++i) {
      if (items_[i].release) items_[i].release(&items_[i]);
    }
  }
  Children(const Children&) = delete;
  Children& operator=(const Children&) = delete;
  std::size_t size() const noexcept { return n_; }
  T& operator[](std::size_t i) noexcept { return items_[i]; }
  T** pointers() noexcept { return n_ ? ptrs_.get() : nullptr; }

 private:
  std::size_t n_;
  std::unique_ptr<T[]> items_;  // value-initialized: release == nullptr until filled
  std::unique_ptr<T*[]> ptrs_;
};

PyRef attribute(PyObject* o, const char* name) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(o, name));
  if (!value) throw PythonErrorSet{};
  return value;
}

struct SchemaNode {
  std::string format, name, metadata;
  Children<ArrowSchema> children;
  SchemaNode(const char* f, const char* n, std::size_t k) : format(f), name(n), children(k) {}
};

void release_schema(ArrowSchema* s) noexcept {
  delete static_cast<SchemaNode*>(s->private_data);
  s->release = nullptr;
}

// Makes `out` a non-nullable field that owns `node`.
void fill_schema(ArrowSchema& out, std::unique_ptr<SchemaNode> node) noexcept {
  out = ArrowSchema{};
  out.format = node->format.c_str();
  out.name = node->name.c_str();
  out.metadata = node->metadata.empty() ? nullptr : node->metadata.data();
  out.n_children = std::int64_t(node->children.size());
  out.children = node->children.pointers();
  out.release = release_schema;
  out.private_data = node.release();
}

// The schema metadata encoding: an int32 count of pairs, then each key and
// value as an int32 byte length and its bytes, in native byte order.
std::string encode_metadata(std::initializer_list<std::pair<std::string_view, std::string>> pairs) {
  std::string out;
  auto put = [&](std::string_view bytes, bool with_length) {
    if (with_length) {
      const auto n = std::int32_t(bytes.size());
      out.append(reinterpret_cast<const char*>(&n), sizeof n);
    }
    out += bytes;
  };
  const auto count = std::int32_t(pairs.size());
  put({reinterpret_cast<const char*>(&count), sizeof count}, false);
  for (const auto& [key, value] : pairs) {
    put(key, true);
    put(value, true);
  }
  return out;
}

// A feature's values as NumPy and Arrow name them; saturated is Arrow's
// boolean, whose bits are packed from NumPy's bytes.
ElementType feature_element(Feature f) noexcept {
  switch (f) {
    case Feature::integral: return {npy::kDouble, "float64", "<f8", "g", 8};
    case Feature::peak_index: return element_type(NumType::i32);
    case Feature::saturated: return {npy::kBool, "bool", "|b1", "b", 1};
    default: return element_type(NumType::f32);
  }
}

// A struct of the header fields, the features of `shape` and, where it has
// samples, "data", a large_list of them; the metadata holds vorn.layout and,
// for WD2, vorn.channels.
void build_schema(const LayoutDesc& layout, std::int32_t channels, const ArrowShape& shape,
                  ArrowSchema& out) {
  std::span<const FieldDesc> fields = layout.fields;
  std::size_t features = 0;
  for (int f = 0; f < kFeatureCount; ++f) features += shape.features.has(Feature(f));
  auto root = std::make_unique<SchemaNode>("+s", "", fields.size() + features + shape.samples);
  root->metadata = layout.word_header_size == layout.header_size
                       ? encode_metadata({{"vorn.layout", layout.name}})
                       : encode_metadata({{"vorn.layout", layout.name},
                                          {"vorn.channels", std::to_string(channels)}});
  std::size_t k = 0;
  for (; k < fields.size(); ++k) {
    fill_schema(root->children[k],
                std::make_unique<SchemaNode>(arrow_format(fields[k].type), fields[k].name, 0));
  }
  const std::uint64_t per_event = rows_per_event(layout, channels);
  const std::string list = "+w:" + std::to_string(per_event);
  for (int f = 0; f < kFeatureCount; ++f) {
    if (!shape.features.has(Feature(f))) continue;
    const std::string name(feature_name(Feature(f)));
    auto values = std::make_unique<SchemaNode>(feature_element(Feature(f)).arrow_format,
                                               per_event > 1 ? "item" : name.c_str(), 0);
    if (per_event > 1) {
      auto node = std::make_unique<SchemaNode>(list.c_str(), name.c_str(), 1);
      fill_schema(node->children[0], std::move(values));
      values = std::move(node);
    }
    fill_schema(root->children[k++], std::move(values));
  }
  if (shape.samples) {
    auto data = std::make_unique<SchemaNode>("+L", "data", 1);
    fill_schema(data->children[0],
                std::make_unique<SchemaNode>(arrow_format(layout.sample_type), "item", 0));
    fill_schema(root->children[k], std::move(data));
  }
  fill_schema(out, std::move(root));
}

// One of a batch's arrays as an Arrow buffer, and what keeps its memory: the
// batch's native memory where the array lies in it, else the array itself.
struct Buffer {
  const std::uint8_t* data = nullptr;
  std::uint64_t length = 0;  // elements
  bool read_only = false;
  SharedMemory memory;
  const Region* region = nullptr;  // the region of `memory` that holds it
  PyRef array;
};

[[noreturn]] void refuse(const std::string& what, const ElementType& type) {
  PyErr_Format(PyExc_TypeError, "%s must be a contiguous 1-D %s array to be shared with Arrow",
               what.c_str(), type.name);
  throw PythonErrorSet{};
}

const Region* region_holding(const BatchMemory& m, const std::uint8_t* p,
                             std::uint64_t bytes) noexcept {
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  auto holds = [&](const Region& r) {
    const auto start = reinterpret_cast<std::uintptr_t>(r.data());
    return at >= start && at - start <= r.capacity() && bytes <= r.capacity() - (at - start);
  };
  for (const Region& r : m.columns) {
    if (holds(r)) return &r;
  }
  for (const Region& r : m.features) {
    if (holds(r)) return &r;
  }
  if (holds(m.samples)) return &m.samples;
  return holds(m.offsets) ? &m.offsets : nullptr;
}

// What owns the memory of `array`: the end of its chain of bases.
PyRef owner_of(PyObject* array) {
  PyRef base = attribute(array, "base");
  while (PyObject_TypeCheck(base.get(), ndarray_type())) base = attribute(base.get(), "base");
  return base;
}

// `array` as a buffer of `type`, or TypeError naming `what`. Its memory is
// the batch's native memory when the array (or the array it views) was made
// over a ColumnMemory and its bytes lie in one of that memory's regions.
Buffer buffer_of(PyObject* array, const ElementType& type, const std::string& what,
                 bool two_d = false) {
  ArrayView view;
  if (!contiguous_view(array, type.typestr, view, two_d)) refuse(what, type);
  Buffer b;
  b.length = view.length;
  b.data = view.data;
  b.read_only = view.read_only;
  PyRef owner = owner_of(array);
  if (const SharedMemory* memory = memory_of(owner.get())) {
    b.region = region_holding(**memory, b.data, b.length * type.width);
    if (b.region) {
      b.memory = *memory;
      return b;
    }
  }
  b.array = PyRef::borrow(array);
  return b;
}

// Offsets rise from 0 or more to at most `samples`, else ValueError. Those
// the decoder made, and views of them (read-only, whole elements of a batch's
// offsets memory, which no writeable array can reach), rise by construction
// and are not read one by one, so that exporting a batch costs the same at
// any size.
void check_offsets(const Buffer& offsets, std::uint64_t samples) {
  auto at = [&](std::uint64_t i) {
    std::int64_t v;
    std::memcpy(&v, offsets.data + 8 * i, 8);
    return v;
  };
  const Region* decoded_in = offsets.memory ? &offsets.memory->offsets : nullptr;
  const bool decoded = offsets.read_only && offsets.region && offsets.region == decoded_in &&
                       (offsets.data - decoded_in->data()) % 8 == 0;
  bool ok = offsets.length > 0 && at(0) >= 0 && std::uint64_t(at(offsets.length - 1)) <= samples;
  for (std::uint64_t i = 1; ok && !decoded && i < offsets.length; ++i) ok = at(i) >= at(i - 1);
  if (!ok) {
    PyErr_SetString(PyExc_ValueError, "offsets must rise from 0 or more to at most len(samples)");
    throw PythonErrorSet{};
  }
}

struct ArrayNode {
  std::array<const void*, 2> buffers{};  // no validity bitmap, then values or offsets
  Children<ArrowArray> children;
  std::unique_ptr<std::uint8_t[]> bits;  // the values of a boolean array, packed here
  SharedMemory memory;  // what keeps buffers[1]: the batch's native memory,
  PyRef array;          // or the NumPy array it lies in
  explicit ArrayNode(std::size_t n) : children(n) {}
};

static_assert(kMaxColumns + 2 <= References::kMax, "the arrays of an export fit in References");

// Takes `a` apart with the children nobody moved out, gathering the arrays
// they kept; native memory goes with its last share.
void take_apart(ArrowArray& a, References& arrays) noexcept {
  auto* node = static_cast<ArrayNode*>(a.private_data);
  a.release = nullptr;
  for (std::size_t i = 0; i < node->children.size(); ++i) {
    if (node->children[i].release) take_apart(node->children[i], arrays);
  }
  if (node->array) arrays.add(node->array.release());
  delete node;
}

// Runs on any thread, at any time, the interpreter's exit included.
void release_array(ArrowArray* a) {
  References arrays;
  take_apart(*a, arrays);
  drop_references(arrays);
}

void fill_array(ArrowArray& out, std::uint64_t length, std::int64_t n_buffers,
                std::unique_ptr<ArrayNode> node) noexcept {
  out = ArrowArray{};
  out.length = std::int64_t(length);
  out.n_buffers = n_buffers;
  out.buffers = node->buffers.data();
  out.n_children = std::int64_t(node->children.size());
  out.children = node->children.pointers();
  out.release = release_array;
  out.private_data = node.release();
}

std::unique_ptr<ArrayNode> node_over(const Buffer& b, std::size_t children) {
  auto node = std::make_unique<ArrayNode>(children);
  node->buffers[1] = b.data;
  node->memory = b.memory;
  node->array = PyRef::borrow(b.array.get());
  return node;
}

// A boolean array over NumPy's bool bytes in `b`: its bits packed anew.
std::unique_ptr<ArrayNode> bits_over(const Buffer& b) {
  auto node = std::make_unique<ArrayNode>(0);
  node->bits = std::make_unique<std::uint8_t[]>(std::size_t((b.length + 7) / 8));
  for (std::uint64_t i = 0; i < b.length; i += 8) {
    std::uint8_t byte = 0;
    for (std::uint64_t j = i; j < std::min(i + 8, b.length); ++j) byte |= std::uint8_t((b.data[j] != 0) << (j - i));
    node->bits[std::size_t(i / 8)] = byte;
  }
  node->buffers[1] = node->bits.get();
  return node;
}

// The struct array of `fields` (each of `n` values), then the `features`
// of `shape` (each of n * per_event values, a fixed-size list of per_event
// for more than one), then "data", a large list of `samples` split by
// `offsets` where the shape has samples. Needs no interpreter.
void build_arrays(std::span<const Buffer> fields, std::uint64_t n, const ArrowShape& shape,
                  std::span<const Buffer> features, std::uint64_t per_event, const Buffer& samples,
                  const Buffer& offsets, ArrowArray& out) {
  auto root = std::make_unique<ArrayNode>(fields.size() + features.size() + shape.samples);
  std::size_t k = 0;
  for (; k < fields.size(); ++k) fill_array(root->children[k], n, 2, node_over(fields[k], 0));
  std::size_t made = 0;
  for (int f = 0; f < kFeatureCount; ++f) {
    if (!shape.features.has(Feature(f))) continue;
    const Buffer& b = features[made++];
    auto values = Feature(f) == Feature::saturated ? bits_over(b) : node_over(b, 0);
    if (per_event > 1) {
      auto list = std::make_unique<ArrayNode>(1);
      fill_array(list->children[0], n * per_event, 2, std::move(values));
      fill_array(root->children[k++], n, 1, std::move(list));
    } else {
      fill_array(root->children[k++], n, 2, std::move(values));
    }
  }
  if (shape.samples) {
    auto data = node_over(offsets, 1);
    fill_array(data->children[0], samples.length, 2, node_over(samples, 0));
    fill_array(root->children[k], n, 2, std::move(data));
  }
  fill_array(out, n, 1, std::move(root));
}

// A region of a batch's native memory as a buffer of `length` elements.
Buffer native_buffer(const SharedMemory& memory, const Region& region, std::uint64_t length,
                     bool read_only) {
  Buffer b;
  b.data = region.data();
  b.length = length;
  b.read_only = read_only;
  b.memory = memory;
  b.region = &region;
  return b;
}

// `array` as a buffer: from the native batch where it is the array the
// native batch made over `region`, else found from the array itself.
Buffer buffer_from(PyObject* array, const NativeView* native, PyObject* made, const Region* region,
                   std::uint64_t length, const ElementType& type, const std::string& what) {
  if (native && array == made) {
    return native_buffer(native->data->memory, *region, length, &type == &kOffsetType);
  }
  return buffer_of(array, type, what);
}

// The features a batch's columns hold, in Feature order.
FeatureSet features_of(PyObject* columns) {
  FeatureSet set;
  for (int f = 0; f < kFeatureCount; ++f) {
    const int has = PyMapping_HasKey(columns, feature_name_object(Feature(f)));
    if (has) set.add(Feature(f));
  }
  return set;
}

// Fills `out` with `batch` as a struct array of `layout`; returns what it
// holds besides the header fields. On a failure `out` is left untouched.
ArrowShape build_batch(const LayoutDesc& layout, PyObject* batch, ArrowArray& out) {
  NativeView view;
  const NativeView* native = native_of(batch, view) ? &view : nullptr;
  const BatchMemory* m = native ? native->data->memory.get() : nullptr;
  PyRef columns = attribute(batch, "columns");
  PyRef samples_array = attribute(batch, "samples");
  const ArrowShape shape{features_of(columns.get()), samples_array.get() != Py_None};
  Buffer samples, offsets;
  std::uint64_t n = 0;
  if (shape.samples) {
    samples = buffer_from(samples_array.get(), native, native ? native->samples : nullptr,
                          m ? &m->samples : nullptr, native ? native->data->samples : 0,
                          element_type(layout.sample_type), "samples");
    PyRef offsets_array = attribute(batch, "offsets");
    offsets = buffer_from(offsets_array.get(), native, native ? native->offsets : nullptr,
                          m ? &m->offsets : nullptr, native ? native->data->events + 1 : 0,
                          kOffsetType, "offsets");
    check_offsets(offsets, samples.length);
    n = offsets.length - 1;
  } else {
    const Py_ssize_t events = PyObject_Length(batch);
    if (events < 0) throw PythonErrorSet{};
    n = std::uint64_t(events);
  }
  std::span<const FieldDesc> specs = layout.fields;
  std::array<Buffer, kMaxColumns> fields;
  auto check_length = [&](const Buffer& b, std::uint64_t want, const char* name) {
    if (b.length != want) {
      PyErr_Format(PyExc_ValueError, "column '%s' has %llu values for %llu events", name,
                   (unsigned long long)b.length, (unsigned long long)want);
      throw PythonErrorSet{};
    }
  };
  for (std::size_t k = 0; k < specs.size(); ++k) {
    PyRef column = PyRef::steal(PyMapping_GetItemString(columns.get(), specs[k].name));
    if (!column) throw PythonErrorSet{};
    const std::string what = std::string("column '") + specs[k].name + "'";
    fields[k] = buffer_from(column.get(), native,
                            native ? PyTuple_GetItem(native->columns, Py_ssize_t(k)) : nullptr,
                            m ? &m->columns[k] : nullptr, n, element_type(specs[k].type), what);
    check_length(fields[k], n, specs[k].name);
  }
  PyRef channels_obj = attribute(batch, "channels");
  const long channels = PyLong_AsLong(channels_obj.get());
  if (channels == -1 && PyErr_Occurred()) throw PythonErrorSet{};
  const std::uint64_t per_event = rows_per_event(layout, std::int32_t(channels));
  std::array<Buffer, kFeatureCount> features;
  std::size_t made = 0;
  for (int f = 0; f < kFeatureCount; ++f) {
    if (!shape.features.has(Feature(f))) continue;
    const std::string name(feature_name(Feature(f)));
    PyRef column = PyRef::steal(PyObject_GetItem(columns.get(), feature_name_object(Feature(f))));
    if (!column) throw PythonErrorSet{};
    features[made] = buffer_of(column.get(), feature_element(Feature(f)), "column '" + name + "'",
                               per_event > 1);
    check_length(features[made++], n * per_event, name.c_str());
  }
  build_arrays(std::span(fields.data(), specs.size()), n, shape, std::span(features.data(), made),
               per_event, samples, offsets, out);
  return shape;
}

struct StreamState {
  const LayoutDesc* layout;
  std::int32_t channels;
  ArrowShape shape;
  std::unique_ptr<BatchSource> source;
  std::string error;
};

StreamState& state_of(ArrowArrayStream* s) noexcept {
  return *static_cast<StreamState*>(s->private_data);
}

// Keeps the reason for get_last_error; none where even that fails.
void set_error(StreamState& st, const char* reason) noexcept {
  try {
    st.error = reason;
  } catch (const std::exception&) {  // not (...): see any_thread.hpp
    st.error.clear();
  }
}

int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) noexcept {
  try {
    build_schema(*state_of(s).layout, state_of(s).channels, state_of(s).shape, *out);
    return 0;
  } catch (const std::bad_alloc&) {
    set_error(state_of(s), "out of memory");
    return ENOMEM;
  } catch (const std::exception& e) {
    set_error(state_of(s), e.what());
    return EIO;
  }
}

// Not noexcept: a source that takes the interpreter may be ended by its exit.
int stream_get_next(ArrowArrayStream* s, ArrowArray* out) {
  StreamState& st = state_of(s);
  try {
    return st.source->next(*out, st.error);
  } catch (const std::bad_alloc&) {
    set_error(st, "out of memory");
    return ENOMEM;
  } catch (const std::exception& e) {
    set_error(st, e.what());
    return EIO;
  }
}

const char* stream_get_last_error(ArrowArrayStream* s) noexcept {
  const std::string& error = state_of(s).error;
  return error.empty() ? nullptr : error.c_str();
}

void stream_release(ArrowArrayStream* s) {
  auto* st = &state_of(s);
  s->release = nullptr;
  References refs;
  st->source->give_up(refs);
  delete st;
  drop_references(refs);
}

// A batch as a stream of itself: its arrays, made when the stream is, handed
// out once. Opening the batch's stream again makes them again, as cheaply.
class OneBatch final : public BatchSource {
 public:
  OneBatch() = default;
  OneBatch(const OneBatch&) = delete;
  OneBatch& operator=(const OneBatch&) = delete;
  ~OneBatch() override {
    if (array_.release) array_.release(&array_);  // needs no interpreter
  }
  ArrowArray& array() noexcept { return array_; }
  int next(ArrowArray& out, std::string&) override {
    out = std::exchange(array_, ArrowArray{});  // the end once it is given
    return 0;
  }
  void give_up(References&) noexcept override {}

 private:
  ArrowArray array_{};
};

// export_schema(layout, channels, features=(), samples=True) -> "arrow_schema"
// capsule of batches holding those features (names) and samples
PyObject* export_schema(PyObject*, PyObject* args) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    PyObject *name, *names = nullptr;
    int channels, samples = 1;
    const LayoutDesc* layout = nullptr;
    if (!PyArg_ParseTuple(args, "Oi|Op:export_schema", &name, &channels, &names, &samples) ||
        !(layout = parse_layout(name))) {
      return nullptr;
    }
    ArrowShape shape{{}, samples != 0};
    if (names) {
      PyRef seq = PyRef::steal(PySequence_Tuple(names));
      if (!seq) return nullptr;
      for (int f = 0; f < kFeatureCount; ++f) {
        const int has = PySequence_Contains(seq.get(), feature_name_object(Feature(f)));
        if (has < 0) return nullptr;
        if (has) shape.features.add(Feature(f));
      }
    }
    Exported<ArrowSchema> out(new ArrowSchema{});
    build_schema(*layout, channels, shape, *out);
    return to_capsule(std::move(out));
  }));
}

// export_batch(batch) -> "arrow_array" capsule
PyObject* export_batch(PyObject*, PyObject* batch) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    const LayoutDesc* layout = parse_layout(attribute(batch, "layout").get());
    if (!layout) return nullptr;
    Exported<ArrowArray> out(new ArrowArray{});
    build_batch(*layout, batch, *out);
    return to_capsule(std::move(out));
  }));
}

// export_batch_stream(batch) -> "arrow_array_stream" capsule of the one batch
PyObject* export_batch_stream(PyObject*, PyObject* batch) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    const LayoutDesc* layout = parse_layout(attribute(batch, "layout").get());
    if (!layout) return nullptr;
    PyRef channels_obj = attribute(batch, "channels");
    const long channels = PyLong_AsLong(channels_obj.get());
    if (channels == -1 && PyErr_Occurred()) return nullptr;
    auto source = std::make_unique<OneBatch>();
    const ArrowShape shape = build_batch(*layout, batch, source->array());
    return stream_capsule(*layout, std::int32_t(channels), shape, std::move(source));
  }));
}

}  // namespace

void export_data(const BatchData& d, ArrowArray& out) {
  const BatchMemory& m = *d.memory;
  const LayoutDesc& layout = *d.layout;
  std::array<Buffer, kMaxColumns> fields;
  for (std::size_t k = 0; k < layout.fields.size(); ++k) {
    fields[k] = native_buffer(d.memory, m.columns[k], d.events, false);
  }
  std::array<Buffer, kFeatureCount> features;
  std::size_t made = 0;
  for (int f = 0; f < kFeatureCount; ++f) {
    if (d.features.has(Feature(f))) {
      features[made++] = native_buffer(d.memory, m.features[std::size_t(f)], d.events * d.per_event, false);
    }
  }
  const ArrowShape shape{d.features, d.with_samples};
  build_arrays(std::span(fields.data(), layout.fields.size()), d.events, shape,
               std::span(features.data(), made), d.per_event,
               native_buffer(d.memory, m.samples, d.samples, false),
               native_buffer(d.memory, m.offsets, d.events + 1, true), out);
}

PyObject* stream_capsule(const LayoutDesc& layout, std::int32_t channels, ArrowShape shape,
                         std::unique_ptr<BatchSource> source) {
  auto state = std::make_unique<StreamState>();
  state->layout = &layout;
  state->channels = channels;
  state->shape = shape;
  state->source = std::move(source);
  Exported<ArrowArrayStream> out(new ArrowArrayStream{});
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_get_last_error;
  out->release = stream_release;
  out->private_data = state.release();
  return to_capsule(std::move(out));
}

namespace {

PyMethodDef arrow_methods[] = {
    {"export_schema", export_schema, METH_VARARGS,
     "export_schema(layout, channels) -> 'arrow_schema' capsule of the layout's batches"},
    {"export_batch", export_batch, METH_O,
     "export_batch(batch) -> 'arrow_array' capsule over the batch's own memory"},
    {"export_batch_stream", export_batch_stream, METH_O,
     "export_batch_stream(batch) -> 'arrow_array_stream' capsule of the one batch"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_arrow_export(PyObject* module) {
  return PyModule_AddFunctions(module, arrow_methods) == 0;
}

}  // namespace vorn
