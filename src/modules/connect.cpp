// vorel_cloud.connect: Quick Connect tokens -> ConnectConfig, export to the
// VOREL_* environment, the one-call bootstrap `connect()` with the agent claim
// (POST /v1/agents/claim), and `doctor()`, which records every outcome of a
// bootstrap as a check instead of raising.
//
// Every name a caller may patch (the client classes, the models, the
// exceptions, `os`, `base64`, `json`, `logger`, the sibling functions and the
// module constants) is read from the module globals at the moment of use, and
// the environment is reached only through `os.environ`.
#include <array>
#include <string>
#include <string_view>

#include "modules/common.hpp"

using namespace vc;
using vorel::cloud_error;

namespace {

// ---- small helpers ----------------------------------------------------------

// `a or b` where b is only computed when a is falsy.
template <class F>
Ref or_else(PyObject* a, F&& b) {
  if (truthy(a)) return Ref::borrow(a);
  return b();
}

Ref empty_text() { return Ref::borrow(""_n); }

// What os.environ refuses on assignment, raised as it raises it: a value that
// is not text, one with a NUL, or one the file-system encoding cannot carry
// (a lone surrogate).
void check_exportable(PyObject* value) {
  if (!PyUnicode_Check(value)) {
    Ref type_name = attr(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"_n);
    raise(call(PyExc_TypeError, fmt("str expected, not {}", type_name)));
  }
  const Py_ssize_t nul = PyUnicode_FindChar(value, 0, 0, PyUnicode_GET_LENGTH(value), 1);
  if (nul == -2) throw_pending();
  if (nul >= 0) raise(PyExc_ValueError, "embedded null byte");
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(value));
}

// getattr(exc, name, None): the package's errors always carry these, but an
// error raised by foreign code must not turn a recorded check into a crash.
Ref error_attr(PyObject* exc, Name name) { return attr_or(exc, name, Py_None); }

// checks.append(BootstrapCheck(name, status, message[, remediation]))
template <class... A>
void append_check(const Call& c, PyObject* checks, const A&... a) {
  Ref check_obj = call(c.global("BootstrapCheck"_n), a...);
  call_method(checks, "append"_n, check_obj);
}

// ---- token and configuration ----------------------------------------------

// ---- stdlib fast paths -----------------------------------------------------------
//
// Most of a token's parse is base64 and JSON work that the stdlib does in
// Python frames wrapped around small C cores. While the module globals `base64`
// and `json` and the functions used are still the objects found when the
// module was loaded (held by parse_connect_token as captures), that work is
// done here; a patched module or function is called exactly as before. Only
// the clean case is taken: anything unusual (a character outside the
// alphabet, a length the fill cannot complete, a JSON error or extra data)
// goes through the stdlib call itself, so every result and every error text
// is the stdlib's own.
enum class Orig : size_t { base64, urlsafe_b64decode, b64decode, json, loads, json_decoder, decode, raw_decode };

// The urlsafe decoder maps "-" and "_" onto "+" and "/" and then reads the
// standard alphabet, so up to 3.14 all four are data characters. From 3.15 on
// it still decodes "+" and "/" but warns (FutureWarning) that they will be
// discarded: a token with either goes through the stdlib there, which warns.
constexpr bool kPlusSlashDecodeQuietly = PY_VERSION_HEX < 0x030F0000;
constexpr std::array<signed char, 256> kBase64Values = [] {
  std::array<signed char, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 26; ++i) t['A' + i] = static_cast<signed char>(i), t['a' + i] = static_cast<signed char>(26 + i);
  for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<signed char>(52 + i);
  t['-'] = 62;
  t['_'] = 63;
  if (kPlusSlashDecodeQuietly) t['+'] = 62, t['/'] = 63;
  return t;
}();

// Bytes decoded by the fast path: on the stack for any token of usual size.
class DecodedBytes {
 public:
  const char* data() const { return heap_.empty() ? small_ : heap_.data(); }
  size_t size() const { return size_; }

  // urlsafe_b64decode(s + fill) for ASCII `s` made of alphabet characters
  // and then only "=": those decode the same with any fill (it ends the last
  // group). False, with nothing decoded, for anything else.
  bool decode(const unsigned char* s, Py_ssize_t n) {
    while (n > 0 && s[n - 1] == '=') --n;
    if (n % 4 == 1) return false;
    const size_t out = static_cast<size_t>(n / 4 * 3 + (n % 4 == 0 ? 0 : n % 4 - 1));
    auto fail = [this] {
      heap_.clear();
      return false;
    };
    char* dst = small_;
    if (out > sizeof small_) {
      heap_.resize(out);
      dst = heap_.data();
    }
    size_t k = 0;
    Py_ssize_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const int a = kBase64Values[s[i]], b = kBase64Values[s[i + 1]], c = kBase64Values[s[i + 2]],
                d = kBase64Values[s[i + 3]];
      if ((a | b | c | d) < 0) return fail();
      const unsigned int group = static_cast<unsigned int>(a << 18 | b << 12 | c << 6 | d);
      dst[k++] = static_cast<char>(group >> 16);
      dst[k++] = static_cast<char>(group >> 8);
      dst[k++] = static_cast<char>(group);
    }
    if (i < n) {  // a last group of 2 or 3 characters
      const int a = kBase64Values[s[i]], b = kBase64Values[s[i + 1]];
      const int c = i + 2 < n ? kBase64Values[s[i + 2]] : 0;
      if ((a | b | c) < 0) return fail();
      const unsigned int group = static_cast<unsigned int>(a << 18 | b << 12 | c << 6);
      dst[k++] = static_cast<char>(group >> 16);
      if (i + 2 < n) dst[k++] = static_cast<char>(group >> 8);
    }
    size_ = k;
    return true;
  }

 private:
  char small_[768];
  std::string heap_;
  size_t size_ = 0;
};

// json's WHITESPACE: [ \t\n\r]*
Py_ssize_t skip_json_blanks(PyObject* s, Py_ssize_t i) {
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  while (i < n) {
    const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
    if (ch != ' ' && ch != '\t' && ch != '\n' && ch != '\r') break;
    ++i;
  }
  return i;
}

// json.loads(s) for a str while json.loads and its default decoder are the
// stdlib's: the decoder's scanner called directly, as its decode() calls it.
// An empty Ref when the scan is not clean; the caller then calls json.loads.
Ref loads_fast(const Call& c, PyObject* decoder, PyObject* s) {
  // The methods loads() goes through on the decoder's class.
  PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(decoder));
  if (!attr(cls, "decode"_n).is(c.capture(Orig::decode)) || !attr(cls, "raw_decode"_n).is(c.capture(Orig::raw_decode)))
    return Ref();
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  if (n > 0 && PyUnicode_READ_CHAR(s, 0) == 0xFEFF) return Ref();  // loads refuses a BOM in its own words
  Ref scan = lookup(decoder, "scan_once"_n);
  if (!scan) return Ref();
  Ref start = Ref::steal(PyLong_FromSsize_t(skip_json_blanks(s, 0)));
  Ref scanned;
  try {
    scanned = call(scan, s, start);
  } catch (PyError&) {
    Ref e = take_error();
    if (!matches(e, PyExc_Exception)) rethrow(e);
    return Ref();
  }
  if (!PyTuple_CheckExact(scanned) || PyTuple_GET_SIZE(scanned.get()) != 2) return Ref();
  PyObject* end = PyTuple_GET_ITEM(scanned.get(), 1);
  if (!PyLong_CheckExact(end)) return Ref();
  const Py_ssize_t stop = PyLong_AsSsize_t(end);
  if (stop < 0) {
    if (PyErr_Occurred()) PyErr_Clear();
    return Ref();
  }
  if (skip_json_blanks(s, stop) != n) return Ref();
  return Ref::borrow(PyTuple_GET_ITEM(scanned.get(), 0));
}

// ---- token and configuration ----------------------------------------------

enum class P_token : size_t { token };

// What str.rstrip(" \t\n\r\x0b\x0c") drops.
bool trailing_blank(Py_UCS4 ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\x0b' || ch == '\x0c';
}

Ref parse_connect_token(Call& c) {
  PyObject* token = c.arg(P_token::token);
  Ref prefix = c.global("_CONNECT_PREFIX"_n);
  // Exact str on both sides: the str methods below cannot have been replaced.
  const bool plain = PyUnicode_CheckExact(token) && PyUnicode_CheckExact(prefix);
  bool prefixed;
  if (plain) {
    const Py_ssize_t m = PyUnicode_Tailmatch(token, prefix, 0, PY_SSIZE_T_MAX, -1);
    if (m < 0) throw_pending();
    prefixed = m == 1;
  } else {
    prefixed = truthy(call_method(token, "startswith"_n, prefix));
  }
  if (!prefixed) raise(cloud_error(c, fmt("invalid connect token: expected prefix {!r}", prefix)));

  // encoded = token[len(prefix):].rstrip(...): a token read from a .env file
  // or a mounted secret often ends in a line break, which is no part of the
  // encoding and must not count towards the fill.
  Ref encoded;
  Py_ssize_t begin = 0, end = 0;
  if (plain) {
    begin = PyUnicode_GET_LENGTH(prefix);
    end = PyUnicode_GET_LENGTH(token);
    while (end > begin && trailing_blank(PyUnicode_READ_CHAR(token, end - 1))) --end;
  } else {
    Ref start = Ref::steal(PyLong_FromSsize_t(length(prefix)));
    Ref cut = Ref::steal(PySlice_New(start, nullptr, nullptr));
    encoded = call_method(item(token, cut), "rstrip"_n, " \t\n\r\x0b\x0c"_n);
  }
  // Tokens are usually handed around without their "=" fill; put it back.
  auto fill = [](Py_ssize_t length) {
    return text(std::string_view("===", static_cast<size_t>((-length % 4 + 4) % 4)));
  };
  Ref pad = plain ? Ref() : fill(length(encoded));

  DecodedBytes fast;
  bool decoded_fast = false;
  Ref raw;
  try {
    Ref base64 = c.global("base64"_n);
    Ref decode = attr(base64, "urlsafe_b64decode"_n);
    decoded_fast = plain && PyUnicode_IS_ASCII(token) && base64.is(c.capture(Orig::base64)) &&
                   decode.is(c.capture(Orig::urlsafe_b64decode)) &&
                   lookup(base64, "b64decode"_n).is(c.capture(Orig::b64decode)) &&
                   fast.decode(PyUnicode_1BYTE_DATA(token) + begin, end - begin);
    if (!decoded_fast) {
      if (plain) {
        encoded = Ref::steal(PyUnicode_Substring(token, begin, end));
        pad = fill(end - begin);
      }
      Ref padded = add(encoded, pad);
      raw = call(decode, padded);
    }
  } catch (PyError&) {
    Ref e = take_error();
    if (!caught(e, PyExc_Exception)) rethrow(e);
    Handling scope(e);
    raise_from_handled(cloud_error(c, fmt("invalid connect token encoding: {}", e)), e);
  }

  Ref data;
  try {
    Ref json = c.global("json"_n);
    Ref loads = attr(json, "loads"_n);
    // raw.decode("utf-8"); an exact bytes' decode cannot have been replaced.
    Ref text_value;
    if (decoded_fast)
      text_value = Ref::steal(PyUnicode_DecodeUTF8(fast.data(), static_cast<Py_ssize_t>(fast.size()), nullptr));
    else if (PyBytes_CheckExact(raw.get()))
      text_value = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), nullptr));
    else text_value = call_method(raw, "decode"_n, "utf-8"_n);
    if (json.is(c.capture(Orig::json)) && loads.is(c.capture(Orig::loads)) && PyUnicode_CheckExact(text_value.get())) {
      Ref decoder = lookup(json, "_default_decoder"_n);
      if (decoder.is(c.capture(Orig::json_decoder))) data = loads_fast(c, decoder, text_value);
    }
    if (!data) data = call(loads, text_value);
  } catch (PyError&) {
    Ref e = take_error();
    if (!caught(e, PyExc_Exception)) rethrow(e);
    Handling scope(e);
    raise_from_handled(cloud_error(c, fmt("invalid connect token JSON: {}", e)), e);
  }

  Ref payload = call_method(c.global("ConnectTokenPayload"_n), "from_dict"_n, data);
  if (!truthy(attr(payload, "endpoint"_n)) || !truthy(attr(payload, "api_key"_n)))
    raise(cloud_error(c, text("incomplete connect token: endpoint and api_key are required")));
  return payload;
}

Ref connect_config_from_token(Call& c) {
  Ref payload = call(c.global("parse_connect_token"_n), c.arg(P_token::token));
  Ref base_url = call_method(attr(payload, "endpoint"_n), "rstrip"_n, "/"_n);
  Ref api_key = attr(payload, "api_key"_n);
  Ref agent_id = or_else(attr(payload, "agent_id"_n), none);
  Ref registration_token = or_else(attr(payload, "registration_token"_n), none);
  return call(c.global("ConnectConfig"_n), "api_base_url"_kw = base_url, "api_key"_kw = api_key,
              "agent_id"_kw = agent_id, "registration_token"_kw = registration_token);
}

enum class P_apply : size_t { config, overwrite };

Ref apply_connect_config(Call& c) {
  PyObject* config = c.arg(P_apply::config);
  PyObject* overwrite = c.arg(P_apply::overwrite);
  // The registration token is single-use and stays out of the environment.
  Ref env_map = dict();
  {
    Ref key = c.global("_ENV_API_KEY"_n);
    Ref value = attr(config, "api_key"_n);
    check(PyDict_SetItem(env_map, key, value));
  }
  {
    Ref key = c.global("_ENV_CONTROL_PLANE_URL"_n);
    Ref value = attr(config, "api_base_url"_n);
    check(PyDict_SetItem(env_map, key, value));
  }
  Ref agent_id = attr(config, "agent_id"_n);
  if (truthy(agent_id)) check(PyDict_SetItem(env_map, "VOREL_AGENT_ID"_n, agent_id));

  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  // Every value is checked before the first write: one refused half-way
  // would leave a new key beside an old endpoint.
  while (PyDict_Next(env_map, &pos, &key, &value)) {
    try {
      check_exportable(value);
    } catch (PyError&) {
      Ref e = take_error();
      if (!caught(e, PyExc_TypeError) && !caught(e, PyExc_ValueError)) rethrow(e);
      Handling scope(e);
      raise_from_handled(cloud_error(c, fmt("invalid connect token value for {}: {}", key, e)), e);
    }
  }

  pos = 0;
  while (PyDict_Next(env_map, &pos, &key, &value)) {
    // Only an explicit overwrite beats a value the operator already set.
    if (truthy(overwrite) || !truthy(environ_get(c.globals(), key))) {
      Ref environ = attr(c.global("os"_n), "environ"_n);
      check(PyObject_SetItem(environ, key, value));
    }
  }
  return none();
}

// ---- bootstrap and claim ------------------------------------------------------

Ref new_client(const Call& c, Name cls, PyObject* config) {
  Ref factory = c.global(cls);
  Ref api_key = attr(config, "api_key"_n);
  Ref base_url = attr(config, "api_base_url"_n);
  return call(factory, api_key, "base_url"_kw = base_url);
}

enum class P_connect : size_t { token, public_key_hex, claim, apply_env, async_client, verify };

Ref connect(Call& c) {
  using P = P_connect;
  PyObject* public_key_hex = c.arg(P::public_key_hex);

  Ref resolved =
      or_else(c.arg(P::token), [&] { return environ_get(c.globals(), c.global("_ENV_CONNECT_TOKEN"_n), ""_n); });
  if (!truthy(resolved))
    raise(cloud_error(c, fmt("connect token required - set {} or pass token=", c.global("_ENV_CONNECT_TOKEN"_n))));
  Ref config = call(c.global("connect_config_from_token"_n), resolved);

  // Verification runs before anything is written or claimed, so a failing
  // setup leaves the process exactly as it was.
  if (truthy(c.arg(P::verify))) {
    Ref report = call(c.global("doctor"_n), resolved, "public_key_hex"_kw = public_key_hex);
    call_method(report, "raise_for_error"_n);
  }

  if (truthy(c.arg(P::apply_env))) call(c.global("apply_connect_config"_n), config, "overwrite"_kw = Py_False);

  if (truthy(c.arg(P::claim)) && truthy(attr(config, "is_agent_mode"_n))) {
    Ref pub_hex = or_else(public_key_hex, [&] { return call(c.global("_resolve_public_key_hex"_n)); });
    if (!truthy(pub_hex)) {
      log(c.globals(), "info",
          "connect token includes agent binding but no public key provided - skip claim (set public_key_hex= or "
          "VOREL_SIGNING_KEY)");
    } else {
      Ref claim_client = new_client(c, "VorelCloudClient"_n, config);
      close_after(claim_client, [&] {
        Ref agent_id = or_else(attr(config, "agent_id"_n), empty_text);
        Ref registration_token = or_else(attr(config, "registration_token"_n), empty_text);
        return call(c.global("claim_agent"_n), claim_client, "agent_id"_kw = agent_id, "public_key_hex"_kw = pub_hex,
                    "registration_token"_kw = registration_token);
      });
    }
  }

  return new_client(c, truthy(c.arg(P::async_client)) ? "AsyncVorelCloudClient"_n : "VorelCloudClient"_n, config);
}

enum class P_claim : size_t { client, agent_id, public_key_hex, registration_token };

Ref claim_agent(Call& c) {
  using P = P_claim;
  Ref body = dict();
  check(PyDict_SetItem(body, "agent_id"_n, c.arg(P::agent_id)));
  check(PyDict_SetItem(body, "public_key"_n, c.arg(P::public_key_hex)));
  check(PyDict_SetItem(body, "registration_token"_n, c.arg(P::registration_token)));

  PyObject* client = c.arg(P::client);
  Ref resp = call_method(client, "_send"_n, "POST"_n, "agents/claim"_n, "json"_kw = body);
  Ref data = call_method(client, "_handle_response"_n, resp);
  Ref result = call_method(c.global("ClaimAgentResult"_n), "from_dict"_n, data);

  Ref extra = dict();
  set_item(extra, "agent_id"_n, attr(result, "agent_id"_n));
  set_item(extra, "status"_n, attr(result, "status"_n));
  log(c.globals(), "info", "agent claimed", {}, extra);
  return result;
}

Ref resolve_public_key_hex(Call& c) {
  Ref explicit_key = environ_get(c.globals(), "VOREL_AGENT_PUBLIC_KEY"_n, ""_n);
  if (truthy(explicit_key)) return call_method(explicit_key, "strip"_n);

  // Only one signing key is ever tried: a set VOREL_SIGNING_KEY hides the
  // issuer key even when it turns out to be unusable.
  Ref signing_hex = or_else(environ_get(c.globals(), "VOREL_SIGNING_KEY"_n),
                            [&] { return environ_get(c.globals(), "VOREL_ISSUER_KEY"_n, ""_n); });
  if (truthy(signing_hex)) {
    try {
      Ref signing_key_cls = import_from("vorel_core"_n, "SigningKey"_n);
      Ref stripped = call_method(signing_hex, "strip"_n);
      Ref sk = call_method(signing_key_cls, "from_hex"_n, stripped);
      Ref raw = call_method(attr(sk, "public_key"_n), "to_bytes"_n);
      return call_method(raw, "hex"_n);
    } catch (PyError&) {
      Ref e = take_error();
      if (!caught(e, PyExc_Exception)) rethrow(e);
      Handling scope(e);
      log(c.globals(), "debug", "could not derive public key from signing key: %s", {e.get()});
    }
  }
  return none();
}

// ---- doctor ---------------------------------------------------------------------

enum class P_resolve : size_t { token, api_key, base_url, checks };

Ref resolve_doctor_config(Call& c) {
  using P = P_resolve;
  PyObject* base_url = c.arg(P::base_url);
  PyObject* checks = c.arg(P::checks);

  Ref resolved_token =
      or_else(c.arg(P::token), [&] { return environ_get(c.globals(), c.global("_ENV_CONNECT_TOKEN"_n), ""_n); });
  if (truthy(resolved_token)) {
    Ref config;
    try {
      config = call(c.global("connect_config_from_token"_n), resolved_token);
    } catch (PyError&) {
      Ref e = take_error();
      if (!caught(e, [&] { return c.global("VorelCloudError"_n); })) rethrow(e);
      Handling scope(e);
      append_check(c, checks, "config"_n, "error"_n, str(e),
                   text("Generate a fresh Quick Connect token in Vorel Cloud."));
      // Deliberately the argument or the built-in default, untouched: a broken
      // token must not silently fall back to another endpoint's variable.
      Ref url = or_else(base_url, [&] { return c.global("_DEFAULT_API_BASE_URL"_n); });
      return call(c.global("ConnectConfig"_n), "api_base_url"_kw = url, "api_key"_kw = ""_n);
    }
    append_check(c, checks, "config"_n, "ok"_n, text("Quick Connect token decoded."));
    return config;
  }

  Ref resolved_key =
      or_else(c.arg(P::api_key), [&] { return environ_get(c.globals(), c.global("_ENV_API_KEY"_n), ""_n); });
  Ref url_source = or_else(base_url, [&] {
    Ref dflt = c.global("_DEFAULT_API_BASE_URL"_n);
    return environ_get(c.globals(), c.global("_ENV_CONTROL_PLANE_URL"_n), dflt);
  });
  Ref resolved_url = call_method(url_source, "rstrip"_n, "/"_n);

  if (truthy(resolved_key)) {
    append_check(c, checks, "config"_n, "ok"_n, fmt("Using Vorel Cloud API at {}.", resolved_url));
  } else {
    Ref token_var = c.global("_ENV_CONNECT_TOKEN"_n);
    Ref key_var = c.global("_ENV_API_KEY"_n);
    Ref remediation = fmt("Set {}, set {}, or pass api_key=.", token_var, key_var);
    append_check(c, checks, "config"_n, "error"_n, text("No Vorel Cloud credential found."), remediation);
  }
  return call(c.global("ConnectConfig"_n), "api_base_url"_kw = resolved_url, "api_key"_kw = resolved_key);
}

enum class P_probe : size_t { client, checks };

Ref probe_health(Call& c) {
  PyObject* checks = c.arg(P_probe::checks);
  try {
    Ref health = call_method(c.arg(P_probe::client), "health"_n);
    Ref message = fmt("Vorel Cloud health check returned {!s}.", get(health, "status"_n, "ok"_n));
    append_check(c, checks, "cloud_reachable"_n, "ok"_n, message, "raw"_kw = health);
  } catch (PyError&) {
    Ref e = take_error();
    if (!caught(e, PyExc_Exception)) rethrow(e);
    // A client refusing its own settings (a base URL that does not parse is
    // found at its first call) is no network failure: doctor() reports it as
    // the configuration's.
    if (caught(e, [&] { return c.global("ConfigurationError"_n); })) rethrow(e);
    Handling scope(e);
    append_check(c, checks, "cloud_reachable"_n, "error"_n, str(e),
                 text("Check VOREL_CONTROL_PLANE_URL, network egress, TLS interception, and DNS."));
  }
  return none();
}

// The shared shape of the two permission probes: a read that may be refused.
// A 401 means the credential itself is bad (error); anything else refused is
// a permission a least-privileged runtime key may legitimately lack (warning).
template <class Read, class Label>
void probe_permission(const Call& c, Name name, const char* auth_hint, Read&& read, Label&& ok_message) {
  PyObject* checks = c.arg(P_probe::checks);
  try {
    Ref response = read(c.arg(P_probe::client));
    Ref message = ok_message(response.get());
    append_check(c, checks, name, "ok"_n, message, "raw"_kw = response);
    return;
  } catch (PyError&) {
    Ref e = take_error();
    Handling scope(e);
    if (matches(e, c.global("AuthenticationError"_n))) {
      Ref code = error_attr(e, "status_code"_n);
      Ref unauthorized = integer(401);
      Name status = compare(code, unauthorized, Py_EQ) ? "error"_n : "warning"_n;
      Ref message = str(e);
      Ref remediation = or_else(error_attr(e, "remediation"_n), [&] { return text(auth_hint); });
      Ref raw = or_else(error_attr(e, "body"_n), dict);
      append_check(c, checks, name, status, message, remediation, "raw"_kw = raw);
      return;
    }
    if (matches(e, c.global("VorelCloudError"_n))) {
      Ref message = str(e);
      Ref remediation = error_attr(e, "remediation"_n);
      Ref raw = or_else(error_attr(e, "body"_n), dict);
      append_check(c, checks, name, "warning"_n, message, remediation, "raw"_kw = raw);
      return;
    }
    rethrow(e);
  }
}

// tenant["name"] or tenant["slug"] or tenant["id"] or "tenant", each read with .get()
Ref tenant_label(PyObject* tenant) {
  for (Name key : {"name"_n, "slug"_n, "id"_n}) {
    Ref value = get(tenant, key);
    if (truthy(value)) return value;
  }
  return Ref::borrow("tenant"_n);
}

Ref probe_tenant(Call& c) {
  probe_permission(
      c, "tenant_access"_n, "Admin credentials can read tenant details; runtime credentials may not need this.",
      [](PyObject* client) { return call_method(client, "get_tenant"_n); },
      [](PyObject* tenant) { return fmt("Credential can read {!s}.", tenant_label(tenant)); });
  return none();
}

Ref probe_approval_policies(Call& c) {
  probe_permission(
      c, "approval_policy_access"_n,
      "Grant approval policy read/admin permissions only if this runtime needs to discover Cloud policies.",
      [](PyObject* client) {
        Ref one = integer(1);
        return call_method(client, "list_policies"_n, "limit"_kw = one);
      },
      [](PyObject*) { return text("Credential can list approval policies."); });
  return none();
}

enum class P_probe_claim : size_t { client, config, public_key_hex, claim, checks };

Ref probe_agent_claim(Call& c) {
  using P = P_probe_claim;
  PyObject* config = c.arg(P::config);
  PyObject* checks = c.arg(P::checks);

  if (!truthy(attr(config, "is_agent_mode"_n))) {
    append_check(c, checks, "agent_claim"_n, "ok"_n, text("No agent claim required by this configuration."));
    return none();
  }
  Ref pub_hex = or_else(c.arg(P::public_key_hex), [&] { return call(c.global("_resolve_public_key_hex"_n)); });
  if (!truthy(pub_hex)) {
    append_check(c, checks, "agent_claim"_n, "warning"_n,
                 text("Quick Connect token includes an agent binding, but no public key was available."),
                 text("Pass public_key_hex=, set VOREL_AGENT_PUBLIC_KEY, or set VOREL_SIGNING_KEY/VOREL_ISSUER_KEY."));
    return none();
  }
  if (!truthy(c.arg(P::claim))) {
    append_check(c, checks, "agent_claim"_n, "warning"_n,
                 text("Agent claim is ready but was not submitted because claim=False."),
                 text("Call doctor(..., claim=True) or connect(..., public_key_hex=...) when you are ready to claim "
                      "the agent."));
    return none();
  }

  try {
    Ref agent_id = or_else(attr(config, "agent_id"_n), empty_text);
    Ref registration_token = or_else(attr(config, "registration_token"_n), empty_text);
    Ref result = call(c.global("claim_agent"_n), c.arg(P::client), "agent_id"_kw = agent_id,
                      "public_key_hex"_kw = pub_hex, "registration_token"_kw = registration_token);
    Ref label = or_else(attr(result, "agent_id"_n), [&] { return attr(result, "name"_n); });
    Ref message = fmt("Claimed agent {!s}.", label);
    Ref raw = attr(result, "raw"_n);
    append_check(c, checks, "agent_claim"_n, "ok"_n, message, "raw"_kw = raw);
    return result;
  } catch (PyError&) {
    Ref e = take_error();
    if (!caught(e, [&] { return c.global("VorelCloudError"_n); })) rethrow(e);
    Handling scope(e);
    Ref message = str(e);
    Ref remediation = error_attr(e, "remediation"_n);
    Ref raw = or_else(error_attr(e, "body"_n), dict);
    append_check(c, checks, "agent_claim"_n, "error"_n, message, remediation, "raw"_kw = raw);
    return none();
  }
}

enum class P_report : size_t { config, checks, claimed_agent };

Ref report(Call& c) {
  using P = P_report;
  bool ok = true;
  Ref it = Ref::steal(PyObject_GetIter(c.arg(P::checks)));
  while (Ref item = Ref::steal_or_null(PyIter_Next(it))) {
    if (equals_text(attr(item, "status"_n), "error")) {
      ok = false;
      break;
    }
  }
  if (PyErr_Occurred()) throw_pending();
  return call(c.global("BootstrapReport"_n), "ok"_kw = ok ? Py_True : Py_False, "config"_kw = c.arg(P::config),
              "checks"_kw = c.arg(P::checks), "claimed_agent"_kw = c.arg(P::claimed_agent));
}

// The client refused its own settings (an API key it cannot send, a base URL
// that does not parse): the configuration is at fault, not the cloud. The
// refusal replaces the "config" verdict recorded so far (the only check in
// the list at that point), and the run ends there as it does without a
// credential: no probe can learn anything through a client that sends nothing.
void replace_config_verdict(const Call& c, PyObject* checks, PyObject* error, const char* fallback_hint = nullptr) {
  Ref refusal;
  {
    Handling scope(error);
    Ref message = str(error);
    Ref remediation = error_attr(error, "remediation"_n);
    if (fallback_hint != nullptr && !truthy(remediation)) remediation = text(fallback_hint);
    refusal = call(c.global("BootstrapCheck"_n), "config"_n, "error"_n, message, remediation);
  }
  Ref replacement = list({refusal.get()});
  check(PyList_SetSlice(checks, 0, PY_SSIZE_T_MAX, replacement));
}

Ref report_refused_configuration(const Call& c, PyObject* config, PyObject* checks, PyObject* error) {
  replace_config_verdict(c, checks, error);
  return call(c.global("_report"_n), config, checks);
}

enum class P_doctor : size_t { token, api_key, base_url, public_key_hex, claim, apply_env };

Ref doctor(Call& c) {
  using P = P_doctor;
  Ref checks = list();
  Ref config = call(c.global("_resolve_doctor_config"_n), c.arg(P::token), "api_key"_kw = c.arg(P::api_key),
                    "base_url"_kw = c.arg(P::base_url), "checks"_kw = checks);
  if (truthy(c.arg(P::apply_env)) && truthy(attr(config, "api_key"_n))) {
    // A token that decodes but holds values the environment cannot (a NUL, a
    // lone surrogate) is refused before anything is written. That is a
    // finding about the configuration, not a crash of the diagnosis: it
    // becomes the "config" verdict, and the probes still run with the
    // configuration as decoded.
    if (Ref error =
            capture_error([&] { call(c.global("apply_connect_config"_n), config, "overwrite"_kw = Py_False); })) {
      if (!caught(error, [&] { return c.global("VorelCloudError"_n); })) rethrow(error);
      replace_config_verdict(c, checks, error, "Generate a fresh Quick Connect token in Vorel Cloud.");
    }
  }
  if (!truthy(attr(config, "api_key"_n))) return call(c.global("_report"_n), config, checks);

  auto refused = [&](PyObject* error) { return caught(error, [&] { return c.global("ConfigurationError"_n); }); };
  Ref client;
  if (Ref error = capture_error([&] { client = new_client(c, "VorelCloudClient"_n, config); })) {
    if (!refused(error)) rethrow(error);
    return report_refused_configuration(c, config, checks, error);
  }
  // Every probe runs whatever the earlier ones found: one run shows all that
  // is wrong, not just the first problem. Only settings the client refuses
  // at its first call end the run (reported as configuration, above).
  Ref refusal;
  Ref claimed = close_after(client, [&] {
    refusal = capture_error([&] { call(c.global("_probe_health"_n), client, checks); });
    if (refusal) {
      if (!refused(refusal)) rethrow(std::move(refusal));
      return Ref();
    }
    call(c.global("_probe_tenant"_n), client, checks);
    call(c.global("_probe_approval_policies"_n), client, checks);
    return call(c.global("_probe_agent_claim"_n), client, config, "public_key_hex"_kw = c.arg(P::public_key_hex),
                "claim"_kw = c.arg(P::claim), "checks"_kw = checks);
  });
  if (refusal) return report_refused_configuration(c, config, checks, refusal);
  return call(c.global("_report"_n), config, checks, "claimed_agent"_kw = claimed);
}

// ---- definitions -------------------------------------------------------------

using K = ParamKind;

const Param kToken[] = {{"token", K::positional_or_keyword, nullptr, "str"}};
const Param kApply[] = {{"config", K::positional_or_keyword, nullptr, "ConnectConfig"},
                        {"overwrite", K::keyword_only, "False", "bool"}};
const Param kConnect[] = {{"token", K::positional_or_keyword, "None", "Optional[str]"},
                          {"public_key_hex", K::keyword_only, "None", "Optional[str]"},
                          {"claim", K::keyword_only, "True", "bool"},
                          {"apply_env", K::keyword_only, "True", "bool"},
                          {"async_client", K::keyword_only, "False", "bool"},
                          {"verify", K::keyword_only, "False", "bool"}};
const Param kClaim[] = {{"client", K::positional_or_keyword, nullptr, "VorelCloudClient"},
                        {"agent_id", K::keyword_only, nullptr, "str"},
                        {"public_key_hex", K::keyword_only, nullptr, "str"},
                        {"registration_token", K::keyword_only, nullptr, "str"}};
const Param kDoctor[] = {{"token", K::positional_or_keyword, "None", "Optional[str]"},
                         {"api_key", K::keyword_only, "None", "Optional[str]"},
                         {"base_url", K::keyword_only, "None", "Optional[str]"},
                         {"public_key_hex", K::keyword_only, "None", "Optional[str]"},
                         {"claim", K::keyword_only, "False", "bool"},
                         {"apply_env", K::keyword_only, "False", "bool"}};
const Param kResolveDoctor[] = {{"token", K::positional_or_keyword, nullptr, "Optional[str]"},
                                {"api_key", K::keyword_only, nullptr, "Optional[str]"},
                                {"base_url", K::keyword_only, nullptr, "Optional[str]"},
                                {"checks", K::keyword_only, nullptr, "List[BootstrapCheck]"}};
const Param kProbe[] = {{"client", K::positional_or_keyword, nullptr, "VorelCloudClient"},
                        {"checks", K::positional_or_keyword, nullptr, "List[BootstrapCheck]"}};
const Param kProbeClaim[] = {{"client", K::positional_or_keyword, nullptr, "VorelCloudClient"},
                             {"config", K::positional_or_keyword, nullptr, "ConnectConfig"},
                             {"public_key_hex", K::keyword_only, nullptr, "Optional[str]"},
                             {"claim", K::keyword_only, nullptr, "bool"},
                             {"checks", K::keyword_only, nullptr, "List[BootstrapCheck]"}};
const Param kReport[] = {{"config", K::positional_or_keyword, nullptr, "ConnectConfig"},
                         {"checks", K::positional_or_keyword, nullptr, "List[BootstrapCheck]"},
                         {"claimed_agent", K::keyword_only, "None", "Optional[ClaimAgentResult]"}};

const FuncDef kParseDef{"parse_connect_token",
                        "Decode a Quick Connect token (``vorel_ct_`` + base64url JSON) into its payload.\n\n"
                        "The base64url fill may be left out, and trailing whitespace (a line break) is ignored.\n"
                        "Raises VorelCloudError for a missing prefix, a bad encoding, text that is not UTF-8 JSON,\n"
                        "or a payload without endpoint and API key.",
                        kToken, parse_connect_token, "ConnectTokenPayload"};
const FuncDef kConfigDef{"connect_config_from_token",
                         "Resolve a Quick Connect token into a ConnectConfig (trailing \"/\" removed from the URL).",
                         kToken, connect_config_from_token, "ConnectConfig"};
const FuncDef kApplyDef{"apply_connect_config",
                        "Export a configuration as VOREL_API_KEY, VOREL_CONTROL_PLANE_URL and VOREL_AGENT_ID.\n\n"
                        "A variable that already holds a non-empty value is kept unless ``overwrite`` is true.\n"
                        "The registration token is never exported, and nothing is ever removed. A value the\n"
                        "environment cannot hold (a NUL, a lone surrogate) raises VorelCloudError before\n"
                        "anything is written.",
                        kApply, apply_connect_config, "None"};
const FuncDef kConnectDef{"connect",
                          "Bootstrap a runtime from a Quick Connect token and return a ready client.\n\n"
                          "The token comes from ``token`` or VOREL_CONNECT_TOKEN. With ``verify`` the setup is\n"
                          "checked with doctor() first and nothing happens if it fails. Then the configuration is\n"
                          "exported (``apply_env``) and, for a token with an agent binding and a public key at\n"
                          "hand, the agent identity is claimed (``claim``). The returned client is the caller's.",
                          kConnect, connect, "Union[VorelCloudClient, AsyncVorelCloudClient]"};
const FuncDef kClaimDef{"claim_agent",
                        "Claim an agent identity for a public key (``POST /v1/agents/claim``).\n\n"
                        "Uses the given client and leaves it open.",
                        kClaim, claim_agent, "ClaimAgentResult"};
const FuncDef kResolveKeyDef{"_resolve_public_key_hex",
                             "The agent's public key as hex: VOREL_AGENT_PUBLIC_KEY, else derived from\n"
                             "VOREL_SIGNING_KEY (or VOREL_ISSUER_KEY when that is unset); None when there is none.",
                             {},
                             resolve_public_key_hex,
                             "Optional[str]"};
const FuncDef kDoctorDef{"doctor",
                         "Check a runtime's cloud bootstrap and report every outcome as a check.\n\n"
                         "Checks the configuration, reachability, authentication, read permissions and the agent\n"
                         "claim. With the defaults it only reads: a claim (``claim``) and the export of the\n"
                         "configuration (``apply_env``) happen only on request. Expected failures become checks\n"
                         "with status \"warning\" or \"error\"; the report is ok when no check is an error.\n"
                         "Settings the client refuses (an API key it cannot send, a base URL that does not\n"
                         "parse) fail the \"config\" check, and then nothing is probed.",
                         kDoctor, doctor, "BootstrapReport"};
const FuncDef kResolveDoctorDef{"_resolve_doctor_config",
                                "Resolve the configuration for doctor() and record the \"config\" check.",
                                kResolveDoctor, resolve_doctor_config, "ConnectConfig"};
const FuncDef kHealthDef{"_probe_health", "Record whether the control plane answers its health check.", kProbe,
                         probe_health, "None"};
const FuncDef kTenantDef{"_probe_tenant", "Record whether the credential can read its tenant.", kProbe, probe_tenant,
                         "None"};
const FuncDef kPoliciesDef{"_probe_approval_policies", "Record whether the credential can list approval policies.",
                           kProbe, probe_approval_policies, "None"};
const FuncDef kProbeClaimDef{"_probe_agent_claim",
                             "Record the state of the agent claim, claiming when asked; returns the claim result.",
                             kProbeClaim, probe_agent_claim, "Optional[ClaimAgentResult]"};
const FuncDef kReportDef{"_report", "Build the BootstrapReport: ok unless a check has the status \"error\".", kReport,
                         report, "BootstrapReport"};

void body(Module& m) {
  m.import("base64");
  m.import("json");
  m.import("logging");
  m.import("os");
  m.from_import("typing", {"Any", "List", "Optional", "Union"});
  m.from_relative("client", {"VorelCloudClient", "AsyncVorelCloudClient"});
  m.from_relative("exceptions", {"AuthenticationError", "ConfigurationError", "VorelCloudError"});
  m.from_relative("models",
                  {"BootstrapCheck", "BootstrapReport", "ClaimAgentResult", "ConnectConfig", "ConnectTokenPayload"});
  m.logger("vorel_cloud.connect");

  m.set("_CONNECT_PREFIX", text("vorel_ct_"));
  m.set("_ENV_CONNECT_TOKEN", text("VOREL_CONNECT_TOKEN"));
  m.set("_ENV_API_KEY", text("VOREL_API_KEY"));
  m.set("_ENV_CONTROL_PLANE_URL", text("VOREL_CONTROL_PLANE_URL"));
  m.set("_DEFAULT_API_BASE_URL", text("https://api.vorel.cloud"));

  {
    // The stdlib objects the token fast paths stand in for (see Orig).
    Ref base64 = global(m.globals(), "base64"_n);
    Ref json = global(m.globals(), "json"_n);
    Ref urlsafe = attr(base64, "urlsafe_b64decode"_n);
    Ref b64decode = attr(base64, "b64decode"_n);
    Ref loads = attr(json, "loads"_n);
    Ref decoder = attr(json, "_default_decoder"_n);
    PyObject* decoder_cls = reinterpret_cast<PyObject*>(Py_TYPE(decoder.get()));
    Ref decode = attr(decoder_cls, "decode"_n);
    Ref raw_decode = attr(decoder_cls, "raw_decode"_n);
    m.set(kParseDef.name, make_function(m.object(), kParseDef, nullptr,
                                        {base64, urlsafe, b64decode, json, loads, decoder, decode, raw_decode}));
  }
  m.def(kConfigDef);
  m.def(kApplyDef);
  m.def(kConnectDef);
  m.def(kClaimDef);
  m.def(kResolveKeyDef);
  m.def(kDoctorDef);
  m.def(kResolveDoctorDef);
  m.def(kHealthDef);
  m.def(kTenantDef);
  m.def(kPoliciesDef);
  m.def(kProbeClaimDef);
  m.def(kReportDef);
}

}  // namespace

VOREL_MODULE(connect, "Quick Connect bootstrap, agent claim and doctor() diagnostics for Vorel Cloud.", body)
