#!/bin/bash
# bench-agent.sh: the host's hand in the guest, on the serial line. Runs each
# line "@cmd ID COMMAND" with bash and answers with the output, each line as
# "@@ OUT ID ...", then "@@ DONE ID rc=STATUS clock=GUEST-TIME".
stty -echo
echo "@@ AGENT clock=$(date +%s.%N)"
while IFS= read -r line; do
    line=${line%$'\r'}
    case $line in
        "@cmd "*)
            rest=${line#@cmd }
            id=${rest%% *}
            bash -c "${rest#* }" </dev/null 2>&1 | sed -u "s/^/@@ OUT $id /"
            rc=${PIPESTATUS[0]}
            echo "@@ DONE $id rc=$rc clock=$(date +%s.%N)"
            ;;
    esac
done
