# Front end: `make demo` and `make check` each install what is missing,
# configure, build, then do their job.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 300
FUZZ_TARGETS ?=

.PHONY: all deps build build-asan demo check unit bench fuzz clean

all: build

deps:
	@bash scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOLLIN_WERROR=ON >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DHOLLIN_SANITIZE=ON -DHOLLIN_WERROR=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)

demo: build
	bash scripts/demo $(BUILD)

check: build build-asan
	cd $(BUILD) && ctest --output-on-failure
	cd $(ASAN_BUILD) && ctest --output-on-failure

bench: build
	bash bench/run $(BUILD)

# Each fuzz target (or those named in FUZZ_TARGETS) for FUZZ_SECONDS, one after
# the other; see tests/fuzz/README.md.
fuzz:
	@bash scripts/install-deps fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOLLIN_FUZZ=ON >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	bash tests/fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
