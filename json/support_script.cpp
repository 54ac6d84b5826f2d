#include "json/support_script.h"

namespace lumigrab {
namespace {

// Kept byte for byte: callers count on it starting at -2, which cancels the
// two enumerable helpers that every object inherits from the script below.
constexpr char kCounter[] =
    "function get__count(c){\r\n"
    "\tvar i=-2;\r\n"
    "\tfor (v in c) i++;\r\n"
    "\treturn i;\r\n"
    "}\r\n"
    "\r\n";

// Written with LF here; SupportScript() turns every line end into CR LF.
constexpr char kJsonHelper[] = R"js(// JSON helpers. Engines with a native JSON object keep it; the fallbacks
// below serve engines that have none.
if (typeof JSON !== 'object' || JSON === null) {
	JSON = {};
}
(function () {
	var hasOwn = Object.prototype.hasOwnProperty;
	var shortEscapes = { '\b': '\\b', '\t': '\\t', '\n': '\\n', '\f': '\\f', '\r': '\\r', '"': '\\"', '\\': '\\\\' };
	var parseEscapes = { '"': '"', '\\': '\\', '/': '/', b: '\b', f: '\f', n: '\n', r: '\r', t: '\t' };

	function isArray(v) {
		return Object.prototype.toString.call(v) === '[object Array]';
	}

	function quote(s) {
		return '"' + s.replace(/[\\"\u0000-\u001f\u2028\u2029]/g, function (ch) {
			if (hasOwn.call(shortEscapes, ch)) {
				return shortEscapes[ch];
			}
			return '\\u' + ('0000' + ch.charCodeAt(0).toString(16)).slice(-4);
		}) + '"';
	}

	function ownKeys(o) {
		var keys = [], k;
		for (k in o) {
			if (hasOwn.call(o, k)) {
				keys.push(k);
			}
		}
		return keys;
	}

	function wrap(open, close, parts, indent, inner, gap) {
		if (parts.length === 0) {
			return open + close;
		}
		if (!gap) {
			return open + parts.join(',') + close;
		}
		return open + '\n' + inner + parts.join(',\n' + inner) + '\n' + indent + close;
	}

	function serialize(holder, key, replacer, indent, gap, stack) {
		var value = holder[key], i, k, v, keys, parts = [], inner = indent + gap;
		if (value && typeof value === 'object' && typeof value.toJSON === 'function') {
			value = value.toJSON(key);
		}
		if (typeof replacer === 'function') {
			value = replacer.call(holder, key, value);
		}
		if (value && typeof value === 'object') {
			k = Object.prototype.toString.call(value);
			if (k === '[object Number]' || k === '[object String]' || k === '[object Boolean]') {
				value = value.valueOf();
			}
		}
		switch (typeof value) {
		case 'string':
			return quote(value);
		case 'number':
			return isFinite(value) ? String(value) : 'null';
		case 'boolean':
			return String(value);
		case 'object':
			if (value === null) {
				return 'null';
			}
			for (i = 0; i < stack.length; i += 1) {
				if (stack[i] === value) {
					throw new TypeError('JSON.stringify: cyclic structure');
				}
			}
			stack.push(value);
			if (isArray(value)) {
				for (i = 0; i < value.length; i += 1) {
					v = serialize(value, String(i), replacer, inner, gap, stack);
					parts.push(v === undefined ? 'null' : v);
				}
				v = wrap('[', ']', parts, indent, inner, gap);
			} else {
				keys = isArray(replacer) ? replacer : ownKeys(value);
				for (i = 0; i < keys.length; i += 1) {
					k = String(keys[i]);
					v = serialize(value, k, replacer, inner, gap, stack);
					if (v !== undefined) {
						parts.push(quote(k) + (gap ? ': ' : ':') + v);
					}
				}
				v = wrap('{', '}', parts, indent, inner, gap);
			}
			stack.pop();
			return v;
		}
		return undefined;
	}

	if (typeof JSON.stringify !== 'function') {
		JSON.stringify = function (value, replacer, space) {
			var gap = '', i;
			if (typeof space === 'number') {
				for (i = 0; i < space && i < 10; i += 1) {
					gap += ' ';
				}
			} else if (typeof space === 'string') {
				gap = space.slice(0, 10);
			}
			if (typeof replacer !== 'function' && !isArray(replacer)) {
				replacer = undefined;
			}
			return serialize({ '': value }, '', replacer, '', gap, []);
		};
	}

	if (typeof JSON.parse !== 'function') {
		JSON.parse = function (text, reviver) {
			var src = String(text), at = 0, result;

			function fail(what) {
				throw new SyntaxError('JSON.parse: ' + what + ' at ' + at);
			}
			function white() {
				while (at < src.length && ' \t\n\r'.indexOf(src.charAt(at)) >= 0) {
					at += 1;
				}
			}
			function expect(word) {
				if (src.substr(at, word.length) !== word) {
					fail('unexpected text');
				}
				at += word.length;
			}
			function string() {
				var out = '', c, hex;
				at += 1;
				while (at < src.length) {
					c = src.charAt(at);
					at += 1;
					if (c === '"') {
						return out;
					}
					if (c === '\\') {
						c = src.charAt(at);
						at += 1;
						if (c === 'u') {
							hex = src.substr(at, 4);
							if (!/^[0-9a-fA-F]{4}$/.test(hex)) {
								fail('bad escape');
							}
							out += String.fromCharCode(parseInt(hex, 16));
							at += 4;
						} else if (hasOwn.call(parseEscapes, c)) {
							out += parseEscapes[c];
						} else {
							fail('bad escape');
						}
					} else if (c < ' ') {
						fail('control character in string');
					} else {
						out += c;
					}
				}
				fail('unterminated string');
			}
			function number() {
				var m = /^-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+\-]?[0-9]+)?/.exec(src.slice(at));
				if (!m) {
					fail('bad number');
				}
				at += m[0].length;
				return +m[0];
			}
			function value() {
				var c, arr, obj, key;
				white();
				c = src.charAt(at);
				if (c === '{') {
					obj = {};
					at += 1;
					white();
					if (src.charAt(at) === '}') {
						at += 1;
						return obj;
					}
					for (;;) {
						white();
						if (src.charAt(at) !== '"') {
							fail('expected a key');
						}
						key = string();
						white();
						expect(':');
						obj[key] = value();
						white();
						c = src.charAt(at);
						at += 1;
						if (c === '}') {
							return obj;
						}
						if (c !== ',') {
							fail('expected , or }');
						}
					}
				}
				if (c === '[') {
					arr = [];
					at += 1;
					white();
					if (src.charAt(at) === ']') {
						at += 1;
						return arr;
					}
					for (;;) {
						arr.push(value());
						white();
						c = src.charAt(at);
						at += 1;
						if (c === ']') {
							return arr;
						}
						if (c !== ',') {
							fail('expected , or ]');
						}
					}
				}
				if (c === '"') {
					return string();
				}
				if (c === 't') {
					expect('true');
					return true;
				}
				if (c === 'f') {
					expect('false');
					return false;
				}
				if (c === 'n') {
					expect('null');
					return null;
				}
				return number();
			}
			function revive(holder, key) {
				var k, v, val = holder[key];
				if (val && typeof val === 'object') {
					for (k in val) {
						if (hasOwn.call(val, k)) {
							v = revive(val, k);
							if (v === undefined) {
								delete val[k];
							} else {
								val[k] = v;
							}
						}
					}
				}
				return reviver.call(holder, key, val);
			}

			result = value();
			white();
			if (at < src.length) {
				fail('unexpected text');
			}
			return typeof reviver === 'function' ? revive({ '': result }, '') : result;
		};
	}
}());

// Plain assignment on purpose: the two members are enumerable, which is
// what get__count's starting value accounts for.
if (!Object.prototype.toJSONString) {
	Object.prototype.toJSONString = function (filter) {
		return JSON.stringify(this, filter);
	};
	Object.prototype.parseJSON = function (filter) {
		return JSON.parse(this, filter);
	};
}
)js";

std::string WithCrLf(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (*p == '\n') out.push_back('\r');
        out.push_back(*p);
    }
    return out;
}

}  // namespace

const std::string& SupportScript() {
    static const std::string script = std::string(kCounter) + WithCrLf(kJsonHelper);
    return script;
}

}  // namespace lumigrab
