# Every entry point installs what is missing first (scripts/setup.sh is quiet when nothing is).
PRESET ?= default
BUILD := build/$(PRESET)

.PHONY: setup build test demo python bench asan tsan fuzz install clean

setup:
	@bash scripts/setup.sh

build: setup
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET)

test: build
	@ctest --preset $(PRESET)

demo: setup
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET) --target filtrations
	@$(BUILD)/tools/filtrations/filtrations evaluate

# The Python package's extension module, built into python/brindlecap (PYTHONPATH=python imports it).
python: setup
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET) --target brindlecap_native

bench: build
	@for b in $(BUILD)/bench/*_bench; do $$b; done

asan:
	@$(MAKE) --no-print-directory test PRESET=asan

tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

# Every fuzz target for FUZZ_SECONDS seconds each (clang, ASan + UBSan; see fuzz/run.sh).
FUZZ_SECONDS ?= 60
fuzz:
	@bash scripts/setup.sh fuzz
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz
	@FUZZ_SECONDS=$(FUZZ_SECONDS) bash fuzz/run.sh

# Release build, stripped, into PREFIX (library, public headers, the tool, the CMake package).
PREFIX ?= /usr/local
install: setup
	@cmake --preset release >/dev/null
	@cmake --build --preset release
	@cmake --install build/release --strip --prefix $(PREFIX)

clean:
	rm -rf build
