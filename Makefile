# Two commands for a fresh Debian 12 machine:
#   make run   install what is missing, build, prepare the files, start Tidewatch
#   make test  install what is missing, build, run every test (also under sanitizers)
JOBS ?= $(shell nproc)

.PHONY: all deps build run test bench format clean

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

bench: build
	@for b in build/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

format:
	@git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan
