# Front end: `make demo` and `make check` each install what is missing,
# configure, build, then do their job.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 300
FUZZ_TARGETS ?=

.PHONY: all deps build build-asan demo check unit bench fuzz deb install clean

all: build

deps:
	@bash scripts/install-deps

# The test builds carry the test-only pause points (HOLLIN_PAUSE_POINTS); the
# installed and packaged builds never do.
build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOLLIN_WERROR=ON -DHOLLIN_PAUSE_POINTS=ON >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# The sanitizer build is for its tests alone: no benchmarks, and -O1 with line
# tables only, which compiles faster than a full debug build and runs the
# system tests' many short processes far faster than -O0.
build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DHOLLIN_SANITIZE=ON -DHOLLIN_WERROR=ON \
	  -DHOLLIN_PAUSE_POINTS=ON -DHOLLIN_BENCHMARKS=OFF -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
	  -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)

demo: build
	bash scripts/demo $(BUILD)

# Every test in parallel; the sanitizer build runs the unit and system tests
# again, but not the installed layout, which builds a release of its own.
check: build build-asan
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS) -E '^(system_installed|man_pages)$$'

# Benchmarks time a build without the test-only pause points, in its own folder.
BENCH_BUILD ?= build-bench
bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOLLIN_WERROR=ON -DHOLLIN_PAUSE_POINTS=OFF >/dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	bash bench/run $(BENCH_BUILD)

# Each fuzz target (or those named in FUZZ_TARGETS) for FUZZ_SECONDS, one after
# the other; see tests/fuzz/README.md.
fuzz:
	@bash scripts/install-deps fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOLLIN_FUZZ=ON >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	bash tests/fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# An installed layout: the tool in sbin, its helpers in PREFIX/libexec/hollin
# (run by the tool alone, never on the PATH); DESTDIR is honoured.
PREFIX ?= /usr/local
INSTALL_BUILD ?= build-inst
install: deps
	cmake -S . -B $(INSTALL_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX) \
	  -DCMAKE_INSTALL_LIBEXECDIR=libexec -DHOLLIN_HELPER_DIR=$(PREFIX)/libexec/hollin \
	  -DBUILD_TESTING=OFF -DHOLLIN_BENCHMARKS=OFF >/dev/null
	cmake --build $(INSTALL_BUILD) -j $(JOBS)
	cmake --install $(INSTALL_BUILD)

# The Debian package, built from an export of the tree (the files git tracks or
# would add: no build folder leaks in) in DEB_BUILD, where the .deb is left;
# then checked: lintian errors, helpers on the PATH, symbols, hardening.
DEB_BUILD ?= build-deb
deb:
	@bash scripts/install-deps deb
	@v=$$(sed -n 's/^project(hollin VERSION \([^ )]*\).*/\1/p' CMakeLists.txt); \
	  d=$$(dpkg-parsechangelog -S Version); \
	  [ "$$v" = "$$d" ] || { echo "deb: debian/changelog is at $$d, CMakeLists.txt at $$v" >&2; exit 1; }
	rm -rf $(DEB_BUILD) && mkdir -p $(DEB_BUILD)/src
	git ls-files -z --cached --others --exclude-standard | \
	  tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C $(DEB_BUILD)/src -xf -
	cd $(DEB_BUILD)/src && dpkg-buildpackage -us -uc -b
	lintian --fail-on error $(DEB_BUILD)/hollin_*.deb
	@! dpkg -c $(DEB_BUILD)/hollin_*.deb | grep -E ' \./(usr/)?s?bin/(chmod|chgrp|chown|touch|mirra)$$'
	dpkg -x $(DEB_BUILD)/hollin_*.deb $(DEB_BUILD)/root
	@for f in $(DEB_BUILD)/root/usr/sbin/hollin $(DEB_BUILD)/root/usr/sbin/hollinctl $(DEB_BUILD)/root/usr/bin/hollin-ls $(DEB_BUILD)/root/usr/libexec/hollin/*; do \
	  ! readelf -S $$f | grep -q '\.symtab' || { echo "deb: $$f is not stripped" >&2; exit 1; }; done
	@# No control-flow marks: bookworm's C start-up files have none, so no program can.
	hardening-check --nocfprotection $(DEB_BUILD)/root/usr/sbin/hollin $(DEB_BUILD)/root/usr/sbin/hollinctl \
	  $(DEB_BUILD)/root/usr/bin/hollin-ls \
	  $(DEB_BUILD)/root/usr/libexec/hollin/*
	@ls $(DEB_BUILD)/hollin_*.deb

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
