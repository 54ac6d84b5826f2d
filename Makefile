# Lumigrab: the two everyday commands are `make run` and `make test`.
# PRESET picks the build folder (build/<preset>); CI builds with warnings as errors.
ifeq ($(CI),true)
PRESET ?= ci
else
PRESET ?= dev
endif
BUILD_DIR := build/$(PRESET)

.PHONY: all deps build install deb run test test-asan test-tsan demo demo-shell bench fuzz clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake --preset $(PRESET) >/dev/null
	cmake --build --preset $(PRESET)

# Both programs with the same layout as the package, under DESTDIR when given:
# PREFIX/bin/lumigrab and lumigrab-cli, their manual pages, the menu entry,
# the icons, the AppStream metadata, bash and zsh completion. Installed, the
# window keeps its files in each user's own folders.
PREFIX ?= /usr/local
install: deps
	cmake --preset $(PRESET) >/dev/null
	cmake --build --preset $(PRESET) --target lumigrab lumigrab-icons lumigrab-cli lumigrab-cli-manual
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --component window --prefix "$(PREFIX)"
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --component cli --prefix "$(PREFIX)"

# The Debian package, build/<preset>/lumigrab_VERSION_ARCH.deb; the last line
# printed is its path. scripts/check-deb checks one as CI does.
deb: build
	@scripts/make-deb $(BUILD_DIR)

run: build
	$(BUILD_DIR)/bin/lumigrab

test: build
	ctest --preset $(PRESET)

# The same tests under sanitizers, each in its own folder (build/asan, build/tsan).
# The tsan presets build and run only the programs whose code starts threads;
# .ci/run explains why the window tests are not among them.
test-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan
	ctest --preset asan

test-tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan
	ctest --preset tsan

# SCENARIO=gone: the service with its result pages gone (the JSON endpoint lists).
demo: build
	SCENARIO=$(SCENARIO) tools/demo $(BUILD_DIR)

# A shell wired to the same stand-in, for trying lumigrab-cli without internet.
demo-shell: build
	SCENARIO=$(SCENARIO) tools/demo $(BUILD_DIR) $${SHELL:-bash}

bench: build
	for b in $(BUILD_DIR)/bin/bench_*; do echo "== $$b"; $$b; done

# Every fuzz target runs for FUZZ_SECONDS over its kept corpus; new crashes land
# in build/fuzz/artifacts and belong in fuzz/corpus/<target>/ once fixed.
# fuzz/<target>.dict, where present, hands the mutator the format's tokens.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = $(patsubst fuzz/%.cpp,fuzz_%,$(filter-out fuzz/replay_main.cpp,$(wildcard fuzz/*.cpp)))
fuzz:
	@scripts/install-deps --fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j2 --target $(FUZZ_TARGETS)
	@mkdir -p build/fuzz/artifacts
	@set -e; for f in build/fuzz/bin/fuzz_*; do \
	  name=$${f##*/fuzz_}; mkdir -p build/fuzz/corpus/$$name; \
	  echo "== $$name ($(FUZZ_SECONDS) s)"; \
	  dict=; [ ! -f fuzz/$$name.dict ] || dict=-dict=fuzz/$$name.dict; \
	  $$f -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 $$dict \
	      -artifact_prefix=build/fuzz/artifacts/$$name- \
	      build/fuzz/corpus/$$name fuzz/corpus/$$name > build/fuzz/$$name.log 2>&1 \
	    || { tail -n 40 build/fuzz/$$name.log; exit 1; }; \
	  grep -E '^#[0-9]+[[:space:]]+DONE' build/fuzz/$$name.log || tail -n 2 build/fuzz/$$name.log; \
	done

clean:
	rm -rf build
