// vorel_cloud.parvex: the core SDK's approval request -> the body of
// POST /v1/approvals/requests (ApprovalRequestPayload), with the attestation
// reused from the request or built by the signing core.
#include "modules/common.hpp"

using namespace vc;
using vorel::cloud_error;

namespace {

PyObject* bytes_type() { return reinterpret_cast<PyObject*>(&PyBytes_Type); }
PyObject* dict_type() { return reinterpret_cast<PyObject*>(&PyDict_Type); }

// Parameters, in table order.
enum class RequestArg : size_t { request };
enum class ExplicitArg : size_t { explicit_key };
enum class ValueArg : size_t { value };
enum class PolicyArg : size_t { request, override_id };
enum class AttestationArg : size_t { request, signing_key, holder_key };
enum class BuildArg : size_t { request, signing_key, policy_id, idempotency_key };
enum class SelfArg : size_t { self };

Ref attestation_required(const Call& c) {
  return cloud_error(c, fmt("approval attestation required - pass signing_key= to cloud_approval() or ensure the "
                            "warrant is bound so key_scope() resolves the holder key"));
}

// bytes(value) of a bytes-like value: the object itself when it is exactly bytes.
Ref as_bytes(PyObject* value) {
  if (PyBytes_CheckExact(value)) return Ref::borrow(value);
  return call(bytes_type(), value);
}

// Hex digit values by character; -1 for anything else.
struct HexDigits {
  signed char value[256];
  constexpr HexDigits() : value() {
    for (int i = 0; i < 256; ++i) value[i] = -1;
    for (int i = 0; i < 10; ++i) value['0' + i] = (signed char)i;
    for (int i = 0; i < 6; ++i) value['a' + i] = value['A' + i] = (signed char)(10 + i);
  }
};
constexpr HexDigits kHex;

// bytes.fromhex(text). Plain hex text (an exact str of ASCII digit pairs, the
// usual form of a key or hash) is decoded here; anything else (whitespace,
// odd length, bad digits, a str subclass) goes to bytes.fromhex itself, for
// its own result or error. bytes is immutable, so fromhex is always the
// interpreter's own.
Ref from_hex(PyObject* text) {
  if (PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text) && PyUnicode_GET_LENGTH(text) % 2 == 0) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text) / 2;
    const Py_UCS1* digits = PyUnicode_1BYTE_DATA(text);
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, n));
    auto* raw = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out.get()));
    // A digit that is not one makes its byte, and so `bad`, negative.
    int bad = 0;
    for (Py_ssize_t i = 0; i < n; ++i, digits += 2) {
      const int byte = kHex.value[digits[0]] * 16 | kHex.value[digits[1]];
      bad |= byte;
      raw[i] = static_cast<unsigned char>(byte);
    }
    if (bad >= 0) return out;
  }
  return call_method(bytes_type(), "fromhex"_n, text);
}

// dict(mapping)
Ref as_dict(PyObject* mapping) {
  if (PyDict_CheckExact(mapping)) return Ref::steal(PyDict_Copy(mapping));
  return call(dict_type(), mapping);
}

// ---- field resolution -------------------------------------------------------

Ref resolve_holder_key(Call& c) {
  Ref value = attr_or(c.arg(RequestArg::request), "holder_key"_n, Py_None);
  if (value.is_none()) return bytes("");
  if (is_bytes_like(value)) return as_bytes(value);
  if (is_text(value)) return from_hex(value);
  // int (and bool) have a to_bytes() that works without arguments: a number
  // would become a one-byte key instead of being refused.
  if (PyLong_Check(value.get()))
    raise(cloud_error(c, fmt("request.holder_key must be bytes, hex string or a key with to_bytes()")));
  Ref to_bytes = attr_or(value, "to_bytes"_n, Py_None);
  if (PyCallable_Check(to_bytes)) {
    Ref raw = call(to_bytes);
    return call(bytes_type(), raw);
  }
  return bytes("");
}

Ref resolve_signing_key(Call& c) {
  PyObject* explicit_key = c.arg(ExplicitArg::explicit_key);
  if (explicit_key != Py_None) return Ref::borrow(explicit_key);
  try {
    Ref key_scope = import_from("vorel.decorators"_n, "key_scope"_n);
    return call(key_scope);
  } catch (PyError&) {
    Ref e = take_error();
    if (matches(e, PyExc_ImportError)) return none();
    if (!matches(e, PyExc_Exception)) rethrow(e);
    Handling scope(e);
    log(c.globals(), "debug", "key_scope unavailable: %s", {e.get()});
    return none();
  }
}

Ref normalize_request_hash(Call& c) {
  PyObject* value = c.arg(ValueArg::value);
  if (is_bytes_like(value)) return as_bytes(value);
  if (is_text(value)) return from_hex(value);
  raise(cloud_error(c, fmt("request.request_hash must be bytes or hex string")));
}

Ref extract_policy_id(Call& c) {
  PyObject* request = c.arg(PolicyArg::request);
  PyObject* override_id = c.arg(PolicyArg::override_id);
  if (truthy(override_id)) return Ref::borrow(override_id);
  for (Name name : {"policy_id"_n, "policy_ref"_n}) {
    Ref v = attr_or(request, name, Py_None);
    if (is_text(v) && truthy(v)) return v;
  }
  return none();
}

Ref extract_inline_rules(Call& c) {
  PyObject* request = c.arg(RequestArg::request);
  Ref approvers = attr_or(request, "required_approvers"_n, Py_None);
  Ref keys = none();
  if (truthy(approvers)) {
    // A single key given bare would be iterated character by character.
    if (is_text(approvers) || is_bytes_like(approvers))
      raise(cloud_error(c, fmt("request.required_approvers must be a list of keys, not str or bytes")));
    keys = list();
    Ref it = Ref::steal(PyObject_GetIter(approvers));
    while (Ref item = Ref::steal_or_null(PyIter_Next(it))) {
      Ref key = is_bytes_like(item) ? call_method(item, "hex"_n) : str(item);
      check(PyList_Append(keys, key));
    }
    if (PyErr_Occurred()) throw_pending();
  }
  Ref threshold = attr_or(request, "min_approvals"_n, Py_None);
  Ref ttl = attr_or(request, "ttl_seconds"_n, Py_None);
  if (ttl.is_none()) {
    Ref gate_ttl = attr_or(request, "gate_ttl"_n, Py_None);
    if (!gate_ttl.is_none()) ttl = Ref::steal(PyNumber_Long(gate_ttl));
  }
  return tuple({keys.get(), threshold.get(), ttl.get()});
}

Ref build_attestation_fields(Call& c) {
  PyObject* request = c.arg(AttestationArg::request);
  PyObject* signing_key = c.arg(AttestationArg::signing_key);
  // The holder key is part of the signature only: the signing core always
  // binds the signing key's own public key.
  Ref build = import_from("vorel_core"_n, "py_build_approval_context_attestation"_n);
  Ref holder_public = attr(signing_key, "public_key"_n);
  Ref warrant_id = attr(request, "warrant_id"_n);
  Ref tool = attr(request, "tool"_n);
  Ref arguments = attr(request, "arguments"_n);
  Ref built = call(build, signing_key, warrant_id, tool, arguments, holder_public);
  auto [args_b64, pair_attestation] = unpack<2>(built);
  Ref attestation = as_dict(pair_attestation);

  // None counts as absent, as in the builder, which has just skipped it.
  Ref own_hash = attr_or(request, "request_hash"_n, Py_None);
  if (own_hash.is_none()) own_hash = bytes("");
  Ref request_hash = call_native(c.global("_normalize_request_hash"_n), own_hash);
  Ref attested = get(attestation, "request_hash"_n);
  if (truthy(attested)) {
    try {
      Ref as_text = str(attested);
      request_hash = from_hex(as_text);
    } catch (PyError&) {
      Ref e = take_error();
      if (!matches(e, PyExc_ValueError) && !matches(e, PyExc_TypeError)) rethrow(e);
    }
  }
  return tuple({args_b64.get(), attestation.get(), request_hash.get()});
}

// ---- the payload builder ---------------------------------------------------

Ref build_approval_request_payload(Call& c) {
  PyObject* request = c.arg(BuildArg::request);
  PyObject* idempotency_key = c.arg(BuildArg::idempotency_key);

  Ref holder_key = call_native(c.global("_resolve_holder_key"_n), request);
  if (!truthy(holder_key))
    raise(cloud_error(
        c, fmt("request.holder_key is required for cloud approval - ensure the warrant is bound before enforcement")));

  Ref empty_text = Ref::borrow(""_n);
  Ref args_cbor_b64 = attr_or(request, "args_canonical_cbor_b64"_n, empty_text);
  if (!truthy(args_cbor_b64)) args_cbor_b64 = empty_text;

  Ref context = attr_or(request, "approval_context_attestation"_n, Py_None);
  // An empty attestation is replaced below (or refused): no dict of its own.
  const bool has_context = truthy(context);
  if (has_context) context = as_dict(context);

  Ref resolved_key = call_native(c.global("_resolve_signing_key"_n), c.arg(BuildArg::signing_key));

  Ref request_hash = bytes("");
  if (!attr_or(request, "request_hash"_n, Py_None).is_none()) {
    Ref again = attr(request, "request_hash"_n);
    request_hash = call_native(c.global("_normalize_request_hash"_n), again);
  }

  const bool complete = truthy(args_cbor_b64) && has_context && truthy(context);
  if (!complete) {
    if (resolved_key.is_none()) raise(attestation_required(c));
    Ref built = call_native(c.global("_build_attestation_fields"_n), request, "signing_key"_kw = resolved_key,
                            "holder_key"_kw = holder_key);
    auto fields = unpack<3>(built);
    args_cbor_b64 = std::move(fields[0]);
    context = std::move(fields[1]);
    request_hash = std::move(fields[2]);
    // The record promises a non-empty pair; an empty one from the signing
    // core is no attestation at all.
    if (!truthy(args_cbor_b64) || !truthy(context)) raise(attestation_required(c));
  }

  if (!truthy(request_hash)) {
    Ref attested = get(context, "request_hash"_n);
    if (!truthy(attested)) raise(cloud_error(c, fmt("request_hash could not be resolved for approval request")));
    Ref as_text = str(attested);
    request_hash = from_hex(as_text);
  }

  Ref rules = call_native(c.global("_extract_inline_rules"_n), request);
  auto [approver_keys, threshold, ttl_seconds] = unpack<3>(rules);
  Ref resolved_policy = call_native(c.global("_extract_policy_id"_n), request, c.arg(BuildArg::policy_id));

  Ref arguments = attr_or(request, "arguments"_n, Py_None);
  Ref metadata = PyDict_Check(arguments.get()) ? arguments : none();

  Ref warrant_id = str(attr_or(request, "warrant_id"_n, empty_text));
  Ref tool = str(attr_or(request, "tool"_n, empty_text));
  Ref idem = truthy(idempotency_key) ? Ref::borrow(idempotency_key) : attr_or(request, "idempotency_key"_n, Py_None);

  return construct(c, c.global("ApprovalRequestPayload"_n), "warrant_id"_kw = warrant_id, "tool"_kw = tool,
                   "request_hash"_kw = request_hash, "holder_key"_kw = holder_key,
                   "args_canonical_cbor_b64"_kw = args_cbor_b64, "approval_context_attestation"_kw = context,
                   "metadata"_kw = metadata, "policy_id"_kw = resolved_policy, "threshold"_kw = threshold,
                   "approver_keys"_kw = approver_keys, "ttl_seconds"_kw = ttl_seconds, "idempotency_key"_kw = idem);
}

Ref to_create_request_kwargs(Call& c) {
  PyObject* self = c.arg(SelfArg::self);
  static constexpr size_t kFields = 12;
  const Name names[kFields] = {"warrant_id"_n,
                               "tool"_n,
                               "request_hash"_n,
                               "holder_key"_n,
                               "args_canonical_cbor_b64"_n,
                               "approval_context_attestation"_n,
                               "metadata"_n,
                               "policy_id"_n,
                               "threshold"_n,
                               "approver_keys"_n,
                               "ttl_seconds"_n,
                               "idempotency_key"_n};
  std::array<Ref, kFields> v;
  const bool read = read_fields(c, self, v);
  // The six required members always; of the optional ones None means "not
  // set", policy and idempotency key are also left out when empty, the
  // numbers and lists are sent even when 0/[].
  enum Kind { always, unless_none, if_truthy };
  static constexpr Kind kinds[kFields] = {always,      always,    always,      always,      always,      always,
                                          unless_none, if_truthy, unless_none, unless_none, unless_none, if_truthy};
  bool sent[kFields];
  Py_ssize_t count = 0;
  for (size_t i = 0; i < kFields; ++i) {
    if (!read) v[i] = attr(self, names[i]);
    sent[i] = kinds[i] == always || (kinds[i] == unless_none ? !v[i].is_none() : truthy(v[i]));
    count += sent[i];
  }
  // Sized for its keys at once: they go in without the table growing.
  Ref out = Ref::steal(_PyDict_NewPresized(count));
  for (size_t i = 0; i < kFields; ++i)
    if (sent[i]) check(PyDict_SetItem(out, names[i], v[i]));
  return out;
}

// ---- definitions -----------------------------------------------------------

using K = ParamKind;

const Param kRequest[] = {{"request", K::positional_or_keyword, nullptr, "Any"}};
const Param kResolveSigningKey[] = {{"explicit", K::positional_or_keyword, "None", "Any"}};
const Param kNormalize[] = {{"value", K::positional_or_keyword, nullptr, "Any"}};
const Param kPolicy[] = {{"request", K::positional_or_keyword, nullptr, "Any"},
                         {"override", K::positional_or_keyword, "None", "Optional[str]"}};
const Param kAttestation[] = {{"request", K::positional_or_keyword, nullptr, "Any"},
                              {"signing_key", K::keyword_only, nullptr, "Any"},
                              {"holder_key", K::keyword_only, nullptr, "bytes"}};
const Param kBuild[] = {{"request", K::positional_or_keyword, nullptr, "Any"},
                        {"signing_key", K::keyword_only, "None", "Any"},
                        {"policy_id", K::keyword_only, "None", "Optional[str]"},
                        {"idempotency_key", K::keyword_only, "None", "Optional[str]"}};
const Param kSelf[] = {{"self"}};

const FuncDef kResolveHolderKeyDef{"_resolve_holder_key", "Extract holder_key bytes from an ApprovalRequest.", kRequest,
                                   resolve_holder_key, "bytes"};
const FuncDef kResolveSigningKeyDef{
    "_resolve_signing_key",
    "Return the explicit signing key, else the active warrant context's key (None when there is none).",
    kResolveSigningKey, resolve_signing_key, "Any"};
const FuncDef kNormalizeDef{"_normalize_request_hash",
                            "Return the request hash as bytes (bytes, bytearray or hex text).", kNormalize,
                            normalize_request_hash, "bytes"};
const FuncDef kPolicyDef{"_extract_policy_id",
                         "Return the explicit policy, else the request's policy_id or policy_ref text, else None.",
                         kPolicy, extract_policy_id, "Optional[str]"};
const FuncDef kRulesDef{"_extract_inline_rules",
                        "Return (approver_keys, threshold, ttl_seconds) from the request's warrant-carried rules.",
                        kRequest, extract_inline_rules, "Tuple[Optional[List[str]], Optional[int], Optional[int]]"};
const FuncDef kAttestationDef{"_build_attestation_fields",
                              "Have the signing core build (args_b64, attestation, request_hash) for the request.",
                              kAttestation, build_attestation_fields, "Tuple[str, Dict[str, Any], bytes]"};
const FuncDef kBuildDef{"build_approval_request_payload",
                        "Build a create-request payload with attestation when possible.\n\n"
                        "Reuses the request's pre-built canonical arguments and approval-context attestation when\n"
                        "both are present; otherwise the signing core builds them with ``signing_key`` (or the\n"
                        "key of the active warrant context). Raises VorelCloudError when the request cannot be\n"
                        "turned into an attested approval request.",
                        kBuild, build_approval_request_payload, "ApprovalRequestPayload"};
const FuncDef kToKwargsDef{"to_create_request_kwargs",
                           "Keyword arguments for ``create_request``: required fields always, optional ones when set.",
                           kSelf, to_create_request_kwargs, "Dict[str, Any]"};

const FieldDef kPayloadFields[] = {
    {"warrant_id", "str"},
    {"tool", "str"},
    {"request_hash", "bytes"},
    {"holder_key", "bytes"},
    {"args_canonical_cbor_b64", "str"},
    {"approval_context_attestation", "Dict[str, Any]"},
    {"metadata", "Optional[Dict[str, Any]]", "None"},
    {"policy_id", "Optional[str]", "None"},
    {"threshold", "Optional[int]", "None"},
    {"approver_keys", "Optional[List[str]]", "None"},
    {"ttl_seconds", "Optional[int]", "None"},
    {"idempotency_key", "Optional[str]", "None"},
};

void body(Module& m) {
  m.import("logging");
  m.from_import("dataclasses", {"dataclass"});
  m.from_import("typing", {"Any", "Dict", "List", "Optional"});
  m.from_relative("exceptions", {"VorelCloudError"});
  m.logger("vorel_cloud.parvex");

  m.dataclass("ApprovalRequestPayload", "Fully populated body for ``POST /v1/approvals/requests``.", kPayloadFields,
              {&kToKwargsDef});
  m.def(kResolveHolderKeyDef);
  m.def(kResolveSigningKeyDef);
  m.def(kNormalizeDef);
  m.def(kPolicyDef);
  m.def(kRulesDef);
  m.def(kAttestationDef);
  m.def(kBuildDef);
}

}  // namespace

VOREL_MODULE(parvex, "Approval request payloads for Vorel Cloud, built from the core SDK's approval requests.", body)
