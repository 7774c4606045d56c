# The two commands a new machine needs: `make run` and `make test`.
# Both install what is missing (scripts/install-deps) and share one build.
BUILD     ?= build
TYPE      ?= RelWithDebInfo
JOBS      ?= $(shell nproc)
SANITIZE  ?=
CMAKEFLAGS = -G Ninja -DCMAKE_BUILD_TYPE=$(TYPE) -DVELMORA_SANITIZE=$(SANITIZE) -DVELMORA_WERROR=ON

.PHONY: all deps configure build run test package bench quality asan tsan format clean

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
asan:
	$(MAKE) test BUILD=build-asan TYPE=Debug SANITIZE=address,undefined
tsan:
	$(MAKE) test BUILD=build-tsan TYPE=Debug SANITIZE=thread CTESTFLAGS="-L media"

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
