# orvale: build, demo run and tests on Debian 12.
#
#   make build   configure and build into build/ (RelWithDebInfo)
#   make run     install what is missing, build, run the gateway on a demo database (Ctrl-C stops)
#   make test    install what is missing, build, run every test, fuzz the order parser for 60 s
#                and the canonical JSON form for 30 s;
#                then every test again under AddressSanitizer
#                and UndefinedBehaviorSanitizer in build-asan/
#   make test-tsan   only the outgoing-call concurrency test under ThreadSanitizer (part of test)
#   make fuzz    the order request parser under libFuzzer for 60 s, the canonical JSON form for
#                30 s (clang++; skipped without it)
#   make package the Debian package (build/orvale_*.deb) from build/
#   make test-package  build the package, check its contents, run the packaged binary with the
#                packaged configuration against a throwaway cluster (part of test)
#   make clean   remove both build trees and var/

SHELL := /bin/bash
JOBS := $(shell nproc 2>/dev/null || echo 2)

BUILD_DIR := build
ASAN_DIR := build-asan
# The sanitizer pass also runs the test cluster in a zone far from UTC, so that any timestamp
# handled in the session's zone instead of UTC shows up as a failure.
ASAN_TIMEZONE := Asia/Vladivostok
ASAN_ENV := ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The test binaries use databases of their own in the one cluster of the pg_start fixture.
CTEST := ctest --output-on-failure -j2

.PHONY: all build deps run test test-asan test-tsan fuzz package test-package clean

all: build

deps:
	bash scripts/install-deps.sh

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALE_WERROR=ON
	cmake --build $(BUILD_DIR) -j$(JOBS)

# Steps in order inside one recipe, so that "make -j" cannot start them side by side.
run:
	bash scripts/install-deps.sh
	$(MAKE) --no-print-directory build
	bash scripts/run-demo.sh

test:
	bash scripts/install-deps.sh
	$(MAKE) --no-print-directory build
	$(CTEST) --test-dir $(BUILD_DIR)
	$(MAKE) --no-print-directory test-package
	$(MAKE) --no-print-directory fuzz
	$(MAKE) --no-print-directory test-asan

test-asan:
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DORVALE_SANITIZE=ON -DORVALE_WERROR=ON -DORVALE_BENCH=OFF \
	  -DORVALE_TEST_PG_TIMEZONE=$(ASAN_TIMEZONE)
	cmake --build $(ASAN_DIR) -j$(JOBS)
	$(ASAN_ENV) $(CTEST) --test-dir $(ASAN_DIR)

# From the build/ tree as it stands: no second full build.
package: build
	cd $(BUILD_DIR) && cpack -G DEB

test-package: build
	bash packaging/test-package.sh $(BUILD_DIR)

# The outgoing-call concurrency test under ThreadSanitizer on its own; "make test" already runs it
# with the rest of build/ (it is left out of the sanitizer tree, which cannot host it).
test-tsan:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALE_WERROR=ON
	cmake --build $(BUILD_DIR) -j$(JOBS) --target outgoing_tsan_tests
	$(CTEST) --test-dir $(BUILD_DIR) -R '^outgoing_tsan_tests$$'

# libFuzzer comes with clang while the service builds with g++, so the fuzzer is a small project
# of its own compiled with clang++ from only the sources it runs. The corpus grows in
# build-fuzz/corpus; an input that breaks the target is written to build-fuzz/crash-* and belongs
# in app-srv/tests/fuzz/regressions/, which the unit tests replay (the canonical form's, found as
# build-fuzz/canonical-crash-*, in the differential unit test as a case).
FUZZ_DIR := build-fuzz
FUZZ_SRC := app-srv/tests/fuzz
FUZZ_SECONDS := 60
FUZZ_CANONICAL_SECONDS := 30

fuzz:
	@if ! command -v clang++ >/dev/null 2>&1; then echo "fuzz: clang++ not found, skipped"; exit 0; fi; \
	set -ex; \
	cmake -S $(FUZZ_SRC) -B $(FUZZ_DIR) -DCMAKE_CXX_COMPILER=clang++; \
	cmake --build $(FUZZ_DIR) -j$(JOBS); \
	mkdir -p $(FUZZ_DIR)/corpus; \
	$(FUZZ_DIR)/order_request_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	  -artifact_prefix=$(FUZZ_DIR)/ $(FUZZ_DIR)/corpus $(FUZZ_SRC)/corpus $(FUZZ_SRC)/regressions; \
	mkdir -p $(FUZZ_DIR)/canonical_corpus; \
	$(FUZZ_DIR)/json_canonical_fuzz -max_total_time=$(FUZZ_CANONICAL_SECONDS) -print_final_stats=1 \
	  -artifact_prefix=$(FUZZ_DIR)/canonical- $(FUZZ_DIR)/canonical_corpus $(FUZZ_SRC)/canonical_corpus

# A test run cut short leaves its cluster running; stop it before its directory goes.
clean:
	bash scripts/test-pg.sh stop $(BUILD_DIR)/test-pg
	bash scripts/test-pg.sh stop $(ASAN_DIR)/test-pg
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(FUZZ_DIR) var
