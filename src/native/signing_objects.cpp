// SigningKey(pem=None): sign(data), private_pem(), public_pem(), public_raw(), kid.
// VerifyKey(data): verify(data, signature), public_pem(), public_raw(), kid.
//
// Every call keeps the interpreter lock: an Ed25519 signature takes tens of
// microseconds, less than releasing and taking back the lock would cost
// another thread waiting for it.
#include "native/signing_objects.hpp"

#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "native/buffer_view.hpp"
#include "native/error_kinds.hpp"
#include "native/method_table.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/module_builder.hpp"
#include "signing/ed25519.hpp"

namespace tessary::native {

namespace {

using python::Ref;

struct SigningKeyState {
  signing::PrivateKey key;
  signing::PublicKey public_key;
};

struct SigningKeyObject {
  PyObject_HEAD
  SigningKeyState* state;  // owned; null only for an object not made by SigningKey()
};

struct VerifyKeyObject {
  PyObject_HEAD
  signing::PublicKey* key;  // owned; null only for an object not made by VerifyKey()
};

PyObject* raise_signing_error(const signing::SigningError& error) { return raise_error(Area::Signature, error.to_string()); }

PyObject* bytes_of(const void* data, std::size_t size) {
  return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}

template <typename Object, typename Field>
Field* native_of(PyObject* self, Field* Object::*field, const char* type) {
  Field* value = reinterpret_cast<Object*>(self)->*field;
  if (value == nullptr) raise_error(Area::Signature, std::string(type) + " is not initialised");
  return value;
}

SigningKeyState* signing_state(PyObject* self) { return native_of(self, &SigningKeyObject::state, "SigningKey"); }
signing::PublicKey* verify_key(PyObject* self) { return native_of(self, &VerifyKeyObject::key, "VerifyKey"); }

// The bytes of a bytes object, in place: key text is never copied into a
// buffer of ours that would then need wiping.
std::optional<std::string_view> bytes_argument(PyObject* value, const char* name) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!PyBytes_Check(value)) {
    python::raise_wrong_type(name, value, "bytes");
    return std::nullopt;
  }
  if (PyBytes_AsStringAndSize(value, &data, &size) != 0) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

template <typename State>
PyObject* wrap(PyTypeObject* type, std::unique_ptr<State> state, State** (*slot)(PyObject*)) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  *slot(self) = state.release();
  return self;
}

SigningKeyState** signing_slot(PyObject* self) { return &reinterpret_cast<SigningKeyObject*>(self)->state; }
signing::PublicKey** verify_slot(PyObject* self) { return &reinterpret_cast<VerifyKeyObject*>(self)->key; }

template <typename Object>
void dealloc(PyObject* self) {
  if constexpr (std::is_same_v<Object, SigningKeyObject>) {
    delete reinterpret_cast<SigningKeyObject*>(self)->state;
  } else {
    delete reinterpret_cast<VerifyKeyObject*>(self)->key;
  }
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// ---- SigningKey ---------------------------------------------------------------

PyObject* signing_key_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Ref slots[1];
  if (!python::bind_arguments({"SigningKey", {"pem"}, 0}, args, kwargs, slots)) return nullptr;
  std::optional<std::string_view> pem;
  if (slots[0] && slots[0].get() != Py_None) {
    pem = bytes_argument(slots[0].get(), "pem");
    if (!pem) return nullptr;
  }
  auto key = pem ? signing::private_key_from_pem(*pem) : signing::generate();
  if (!key) return raise_signing_error(key.error());
  auto public_key = signing::public_key(*key);
  if (!public_key) return raise_signing_error(public_key.error());
  return wrap(type, std::make_unique<SigningKeyState>(std::move(*key), std::move(*public_key)), signing_slot);
}

PyObject* sign(PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref slots[1];
  if (!python::bind_arguments({"SigningKey.sign", {"data"}, 1}, args, kwargs, slots)) return nullptr;
  SigningKeyState* state = signing_state(self);
  if (state == nullptr) return nullptr;
  BufferView data;
  if (!data.open(slots[0].get(), "data")) return nullptr;
  auto signature = signing::sign(state->key, data.bytes());
  if (!signature) return raise_signing_error(signature.error());
  return bytes_of(signature->data(), signature->size());
}

PyObject* private_pem(PyObject* self) {
  SigningKeyState* state = signing_state(self);
  if (state == nullptr) return nullptr;
  auto pem = signing::private_key_to_pem(state->key);
  if (!pem) return raise_signing_error(pem.error());
  return bytes_of(pem->text().data(), pem->text().size());
}

// The public-key methods of both types, given the public key.
PyObject* public_pem_of(const signing::PublicKey& key) {
  auto pem = signing::public_key_to_pem(key);
  if (!pem) return raise_signing_error(pem.error());
  return bytes_of(pem->data(), pem->size());
}

PyObject* public_raw_of(const signing::PublicKey& key) { return bytes_of(signing::raw(key).data(), signing::kPublicKeySize); }

PyObject* kid_of(const signing::PublicKey& key) { return python::new_str(signing::key_id(key)).release(); }

template <PyObject* (*Of)(const signing::PublicKey&)>
PyObject* signing_public(PyObject* self) {
  SigningKeyState* state = signing_state(self);
  return state == nullptr ? nullptr : Of(state->public_key);
}

template <PyObject* (*Of)(const signing::PublicKey&)>
PyObject* verify_public(PyObject* self) {
  signing::PublicKey* key = verify_key(self);
  return key == nullptr ? nullptr : Of(*key);
}

// ---- VerifyKey ----------------------------------------------------------------

constexpr std::string_view kPemStart = "-----BEGIN";

PyObject* verify_key_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Ref slots[1];
  if (!python::bind_arguments({"VerifyKey", {"data"}, 1}, args, kwargs, slots)) return nullptr;
  auto data = bytes_argument(slots[0].get(), "data");
  if (!data) return nullptr;
  auto key = data->starts_with(kPemStart) ? signing::public_key_from_pem(*data)
                                          : signing::public_key_from_raw(std::span(reinterpret_cast<const std::uint8_t*>(data->data()), data->size()));
  if (!key) return raise_signing_error(key.error());
  return wrap(type, std::make_unique<signing::PublicKey>(std::move(*key)), verify_slot);
}

PyObject* verify(PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref slots[2];
  if (!python::bind_arguments({"VerifyKey.verify", {"data", "signature"}, 2}, args, kwargs, slots)) return nullptr;
  signing::PublicKey* key = verify_key(self);
  if (key == nullptr) return nullptr;
  BufferView data;
  BufferView signature;
  if (!data.open(slots[0].get(), "data") || !signature.open(slots[1].get(), "signature")) return nullptr;
  auto verdict = signing::verify(*key, data.bytes(), signature.bytes());
  if (!verdict) return raise_signing_error(verdict.error());
  return PyBool_FromLong(*verdict ? 1 : 0);
}

// ---- tables -------------------------------------------------------------------

template <PyObject* (*F)(PyObject*)>
PyObject* no_arguments(PyObject* self, PyObject*) noexcept {
  try {
    return F(self);
  } catch (...) {
    return python::raise_current_exception();
  }
}

template <PyObject* (*F)(PyObject*)>
PyObject* getter(PyObject* self, void*) noexcept {
  return no_arguments<F>(self, nullptr);
}

template <typename Object>
PyObject* guarded_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  try {
    if constexpr (std::is_same_v<Object, SigningKeyObject>) {
      return signing_key_new(type, args, kwargs);
    } else {
      return verify_key_new(type, args, kwargs);
    }
  } catch (...) {
    return python::raise_current_exception();
  }
}

#define TESSARY_NOARGS(name, entry, doc) {#name, no_arguments<entry>, METH_NOARGS, doc}

constexpr const char* kSigningKeyDoc =
    "SigningKey(pem=None)\n--\n\n"
    "An Ed25519 private key: a new one when pem is None, else the key of an\n"
    "unencrypted PEM private key (PKCS#8, as `openssl genpkey` writes it).";
constexpr const char* kSignDoc =
    "sign($self, data)\n--\n\n"
    "The 64-byte Ed25519 signature of the bytes of any C-contiguous buffer.";
constexpr const char* kPrivatePemDoc =
    "private_pem($self)\n--\n\n"
    "The private key as unencrypted PKCS#8 PEM. Anyone holding it can sign.";
constexpr const char* kPublicPemDoc =
    "public_pem($self)\n--\n\n"
    "The public key as SubjectPublicKeyInfo PEM (\"BEGIN PUBLIC KEY\").";
constexpr const char* kPublicRawDoc =
    "public_raw($self)\n--\n\n"
    "The 32 bytes of the public key.";
constexpr const char* kKidDoc =
    "The key id: \"ed25519:\" and the unpadded base64url SHA-256 of the 32 public-key bytes.";
constexpr const char* kVerifyKeyDoc =
    "VerifyKey(data)\n--\n\n"
    "An Ed25519 public key from PEM (data starting with b\"-----BEGIN\") or from\n"
    "its 32 raw bytes.";
constexpr const char* kVerifyDoc =
    "verify($self, data, signature)\n--\n\n"
    "Whether signature is this key's signature of the bytes of data. Any\n"
    "signature that does not verify, whatever its length, gives False.";

PyMethodDef kSigningKeyMethods[] = {
    keyword_entry<sign>("sign", kSignDoc),
    TESSARY_NOARGS(private_pem, private_pem, kPrivatePemDoc),
    TESSARY_NOARGS(public_pem, signing_public<public_pem_of>, kPublicPemDoc),
    TESSARY_NOARGS(public_raw, signing_public<public_raw_of>, kPublicRawDoc),
    kTableEnd,
};

PyMethodDef kVerifyKeyMethods[] = {
    keyword_entry<verify>("verify", kVerifyDoc),
    TESSARY_NOARGS(public_pem, verify_public<public_pem_of>, kPublicPemDoc),
    TESSARY_NOARGS(public_raw, verify_public<public_raw_of>, kPublicRawDoc),
    kTableEnd,
};

#undef TESSARY_NOARGS

PyGetSetDef kSigningKeyGetters[] = {
    {"kid", getter<signing_public<kid_of>>, nullptr, kKidDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kVerifyKeyGetters[] = {
    {"kid", getter<verify_public<kid_of>>, nullptr, kKidDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSigningKeySlots[] = {
    {Py_tp_doc, const_cast<char*>(kSigningKeyDoc)},
    {Py_tp_new, reinterpret_cast<void*>(guarded_new<SigningKeyObject>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<SigningKeyObject>)},
    {Py_tp_methods, kSigningKeyMethods},
    {Py_tp_getset, kSigningKeyGetters},
    {0, nullptr},
};

PyType_Slot kVerifyKeySlots[] = {
    {Py_tp_doc, const_cast<char*>(kVerifyKeyDoc)},
    {Py_tp_new, reinterpret_cast<void*>(guarded_new<VerifyKeyObject>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<VerifyKeyObject>)},
    {Py_tp_methods, kVerifyKeyMethods},
    {Py_tp_getset, kVerifyKeyGetters},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: a subclass could override methods the keys rely on.
PyType_Spec kSigningKeySpec = {"tessary._native.SigningKey", sizeof(SigningKeyObject), 0, Py_TPFLAGS_DEFAULT,
                               kSigningKeySlots};
PyType_Spec kVerifyKeySpec = {"tessary._native.VerifyKey", sizeof(VerifyKeyObject), 0, Py_TPFLAGS_DEFAULT,
                              kVerifyKeySlots};

}  // namespace

bool add_signing_types(PyObject* module) {
  for (PyType_Spec* layout : {&kSigningKeySpec, &kVerifyKeySpec}) {
    layout->flags |= python::immutable_type_flag();
    Ref type = Ref::steal(PyType_FromSpec(layout));
    if (!type || !python::add_object(module, type.get())) return false;
  }
  return true;
}

}  // namespace tessary::native
