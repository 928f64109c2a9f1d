# Two commands for a fresh machine: `make demo` and `make test`.
# Both install the Debian packages they need first (scripts/install-deps.sh).
BUILD ?= build
CMAKE_GEN ?= -G Ninja
JOBS ?= $(shell nproc)

.PHONY: all deps demo test bench host32 host64 windows tsan fuzz clean

all: host32

deps:
	@scripts/install-deps.sh

$(BUILD)/%/build.ninja: | deps
	cmake -S . -B $(BUILD)/$* $(CMAKE_GEN) -DNQ_FLAVOUR=$* \
	  $(if $(filter windows,$*),-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake)

host32 host64 windows: %: deps $(BUILD)/%/build.ninja
	cmake --build $(BUILD)/$* -j $(JOBS)

# host64 again, under ThreadSanitizer: every test, races reported as failures.
$(BUILD)/tsan/build.ninja: | deps
	cmake -S . -B $(BUILD)/tsan $(CMAKE_GEN) -DNQ_FLAVOUR=host64 -DNQ_TSAN=ON

tsan: deps $(BUILD)/tsan/build.ninja
	cmake --build $(BUILD)/tsan -j $(JOBS)

# Replays the sample capture (scripts/record-sample.sh made it) as seen by
# the client host, with the demo policy; the JSON log goes to a file.
demo: host32
	$(BUILD)/host32/tools/nqwfp replay samples/demo.pcap --local 10.77.0.2 \
	  --policy samples/demo.policy --log $(BUILD)/demo-replay.jsonl
	@echo "log of every client call, classify and injection: $(BUILD)/demo-replay.jsonl"

test: host32 host64 windows tsan
	ctest --test-dir $(BUILD)/windows --output-on-failure
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(BUILD)/tsan --output-on-failure -j $(JOBS)
	ctest --test-dir $(BUILD)/host64 --output-on-failure -j $(JOBS)
	ctest --test-dir $(BUILD)/host32 --output-on-failure -j $(JOBS)

bench: host64
	$(BUILD)/host64/bench/nqwfp_bench

clean:
	rm -rf $(BUILD)
