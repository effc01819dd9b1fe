# Two commands for a fresh Debian 12 machine:
#   make run   install what is missing, build, prepare the files, start Tidewatch
#   make test  install what is missing, build, run every test (also under sanitizers)
#   make fuzz  build the fuzz targets with clang and fuzz each for FUZZ_SECONDS (600)
JOBS ?= $(shell nproc)

.PHONY: all deps build run test fuzz bench format clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j$(JOBS)

run: build
	@build/tools/setup/tw-setup build/app
	@build/app/tidewatch

test: build
	@tools/run-tests.sh

fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j$(JOBS)
	@FUZZ_SECONDS=$${FUZZ_SECONDS:-600} ctest --test-dir build-fuzz --output-on-failure -j$(JOBS)

bench: build
	@for b in build/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

format:
	@git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-fuzz
