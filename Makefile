# The two commands a new machine needs: `make run` and `make test`.
# Both install what is missing (scripts/install-deps) and share one build.
BUILD     ?= build
TYPE      ?= RelWithDebInfo
JOBS      ?= $(shell nproc)
SANITIZE  ?=
CMAKEFLAGS = -G Ninja -DCMAKE_BUILD_TYPE=$(TYPE) -DVELMORA_SANITIZE=$(SANITIZE) -DVELMORA_WERROR=ON

.PHONY: all deps configure build run test check package bench quality asan tsan fuzz fuzz-build format clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) $(CMAKEFLAGS)

configure: deps
	cmake -S . -B $(BUILD) $(CMAKEFLAGS)

build: $(BUILD)/build.ninja deps
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run $(BUILD)

# A skipped test says why in its output, which CTest keeps to itself.
test: build
	cd $(BUILD) && { ctest --output-on-failure -j $(JOBS) $(CTESTFLAGS); status=$$?; \
	  grep -h '^SKIP:' Testing/Temporary/LastTest.log || true; exit $$status; }

# velmora_<version>_<arch>.deb in $(BUILD), with what `cmake --install` puts
# in place: the programs, the menu entry, the icons, AppStream data, the manual.
package: build
	cd $(BUILD) && cpack

bench: build
	@bench/run $(BUILD)

# Picture quality per bit against the best ffmpeg CLI recipe (QUALITY_QUICK=1 for a short run).
quality: build
	@bench/quality $(BUILD)

# Sanitizer builds live in their own folders and run the same tests.
ASAN = BUILD=build-asan TYPE=Debug SANITIZE=address,undefined
asan:
	$(MAKE) test $(ASAN)

# What CI checks after `make test`: every tracked C++ file as clang-format
# leaves it, the folder directions of docs/folders.txt, and the unit and
# engine tests under ASan and UBSan (in make asan's folder, building only
# what those tests need). Undefined behaviour fails the test that meets it.
CHECK_TESTS = platform_tests engine_unit_tests encoder_unit_tests rm_format_tests \
              engine_media_tests encode_cli_media_tests rm_writer_tests
empty :=
CHECK_REGEX = ^($(subst $(empty) $(empty),|,$(strip $(CHECK_TESTS))))$$
check: deps
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
	scripts/check-includes
	$(MAKE) build-asan/build.ninja $(ASAN)
	cmake --build build-asan -j $(JOBS) --target $(CHECK_TESTS)
	cd build-asan && UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -R '$(CHECK_REGEX)'
	$(MAKE) fuzz-build
	fuzz/run build-fuzz replay

# The libFuzzer targets of fuzz/, built with clang in a folder of their own
# (only they and what they link). `make fuzz` runs each for FUZZ_SECONDS,
# all at once; `fuzz/run build-fuzz merge` then adds what they found new to
# the committed corpus.
FUZZ_SECONDS ?= 300
FUZZ_TARGETS = fuzz_matroska_reader fuzz_rm_writer fuzz_job
build-fuzz/build.ninja: | deps
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG='-O1 -gline-tables-only' -DVELMORA_SANITIZE=address,undefined \
	  -DVELMORA_FUZZ=ON -DVELMORA_WERROR=ON
fuzz-build: build-fuzz/build.ninja
	cmake --build build-fuzz -j $(JOBS) --target $(FUZZ_TARGETS)
fuzz: deps fuzz-build
	fuzz/run build-fuzz fuzz $(FUZZ_SECONDS)
# The media tests under ThreadSanitizer; tests/tsan.supp says what of Qt's it ignores.
tsan:
	TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp $$TSAN_OPTIONS" \
	  $(MAKE) test BUILD=build-tsan TYPE=Debug SANITIZE=thread CTESTFLAGS="-L media"

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
