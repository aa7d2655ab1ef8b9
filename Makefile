# Dravelin — the two commands: `make run` and `make test`.

PRESET ?= dev
BUILD  := build/$(PRESET)
SETUP_STAMP := build/.setup-done
SOURCES = $(shell git ls-files --cached --others --exclude-standard '*.cpp' '*.h')

.PHONY: all setup configure build test run format format-check lint bench clean

all: build

# Installs system packages once (again whenever scripts/setup changes).
$(SETUP_STAMP): scripts/setup
	bash scripts/setup
	@mkdir -p build && touch $@

setup: $(SETUP_STAMP)

$(BUILD)/build.ninja: | $(SETUP_STAMP)
	cmake --preset $(PRESET)

configure: $(BUILD)/build.ninja

build: configure
	cmake --build --preset $(PRESET)

# Builds everything and runs every test label (unit, and later integration,
# desktop and audio).
test: build
	ctest --preset $(PRESET)

run: build
	./$(BUILD)/app/dravelin

format: | $(SETUP_STAMP)
	@clang-format -i $(SOURCES)

format-check: | $(SETUP_STAMP)
	@clang-format --dry-run --Werror $(SOURCES)

lint: configure
	clang-tidy -p $(BUILD) --quiet $(filter %.cpp,$(filter src/% app/%,$(SOURCES)))

# Benchmarks print their figures; see docs/benchmarks.md.
bench: build
	tests/integration/with-pulseaudio.sh ./$(BUILD)/bench/audio_bench

clean:
	rm -rf build
