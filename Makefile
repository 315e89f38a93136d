# The README's commands. Each installs what is missing first, so they work on a fresh Debian 12 machine.
.PHONY: all deps test run build release bench format fuzz clean deb deb-check

all: test

deps:
	scripts/install-deps

build: deps
	cmake --preset dev
	cmake --build --preset dev

test: build
	ctest --preset dev -j2

release: deps
	cmake --preset release
	cmake --build --preset release

run: release
	build/release/src/app/sonorel

bench: release
	@for b in build/release/bench/bench_*; do echo "== $$b"; $$b; done

format: deps
	cmake --preset dev
	cmake --build --preset dev --target format

clean:
	rm -rf build

fuzz: deps
	scripts/fuzz-manifest 300

# The Debian package of the release build, checked by appstreamcli, desktop-file-validate and lintian.
deb: release
	scripts/make-deb build/release

# Installs the package into a fresh Debian 12 root and runs it there (downloads a base system: not in test).
deb-check: deb
	scripts/deb-check build/release build/deb-check
