# Every entry point installs what is missing first (scripts/setup.sh is quiet when nothing is).
PRESET ?= default
BUILD := build/$(PRESET)

.PHONY: setup build test demo bench asan tsan clean

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

bench: build
	@for b in $(BUILD)/bench/*_bench; do $$b; done

asan:
	@$(MAKE) --no-print-directory test PRESET=asan

tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

clean:
	rm -rf build
