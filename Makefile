# Entry points for people and CI. Each target installs what is missing first (tools/deps.sh).
#   make demo   build `ledra` and show what the library does today
#   make test   build with sanitizers, check the tree compiles with clang, run every test and fuzz corpus
#   make bench  run the benchmarks (Release)
#   make fuzz   run each fuzz target for FUZZ_SECONDS (clang, libFuzzer)

JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
CMAKE_FLAGS ?=

# ccache hits across clones only with paths taken relative to the checkout.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

.PHONY: deps demo test build clang-check bench fuzz format tidy clean

deps:
	@tools/deps.sh

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DLD_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)

# Compiles the library and the tests once with clang (syntax only): what g++ accepts but clang 14 does not
# (range adaptors, source_location) is caught here, before fuzzing or clang-tidy trip over it.
clang-check: deps
	CC=clang CXX=clang++ cmake -S . -B build-clang -DLD_SYNTAX_ONLY=ON $(CMAKE_FLAGS)
	cmake --build build-clang -j$(JOBS)

test: build clang-check
	ctest --test-dir build --output-on-failure -j$(JOBS)

demo: deps
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DLD_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-release -j$(JOBS) --target ledra
	tools/demo.sh build-release/cli/ledra

bench: deps
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DLD_BUILD_TESTS=OFF -DLD_BUILD_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build-release -j$(JOBS)
	@for bench in build-release/bench/*_bench; do echo "== $$bench"; $$bench; done

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DLD_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build-fuzz -j$(JOBS)
	@for target in build-fuzz/fuzz/*_fuzz; do \
		name=$$(basename $$target _fuzz); \
		mkdir -p build-fuzz/corpus/$$name; \
		echo "== $$target for $(FUZZ_SECONDS) s"; \
		$$target -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 -artifact_prefix=build-fuzz/ \
			build-fuzz/corpus/$$name fuzz/corpus/$$name || exit 1; \
	done

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

tidy: deps
	cmake -S . -B build-tidy -DCMAKE_CXX_CLANG_TIDY=clang-tidy -DLD_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-tidy -j$(JOBS)

clean:
	rm -rf build build-clang build-release build-fuzz build-tidy

# make entities   rewrite the entity classes (core/database/objects/generated) from the object models
# and the behaviour declarations (core/database/objects/entities/LdEntityBehaviour.decl); the test
# entity_classes_current fails after a change of either until this has run. Uses the test build.
.PHONY: entities
entities: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DLD_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS) --target ld_entity_generator
	build/tools/entitygen/ld_entity_generator core/database/objects/generated \
		core/database/objects/entities/LdEntityBehaviour.decl
