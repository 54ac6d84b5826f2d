# Lumigrab: the two everyday commands are `make run` and `make test`.
# PRESET picks the build folder (build/<preset>); CI builds with warnings as errors.
ifeq ($(CI),true)
PRESET ?= ci
else
PRESET ?= dev
endif
BUILD_DIR := build/$(PRESET)

.PHONY: all deps build run test demo bench clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake --preset $(PRESET) >/dev/null
	cmake --build --preset $(PRESET)

run: build
	$(BUILD_DIR)/bin/lumigrab

test: build
	ctest --preset $(PRESET)

demo: build
	tools/demo $(BUILD_DIR)

bench: build
	for b in $(BUILD_DIR)/bin/bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf build
