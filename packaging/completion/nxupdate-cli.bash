# bash completion for nxupdate-cli.
# Commands and their options are read from "nxupdate-cli --help", so they
# follow the program; --device values are the bridges' serial numbers as
# "nxupdate-cli bridges" enumerates them, without opening any port, and "all"
# and "@failed" where the command's usage line offers "all".

# Folders, and the files whose extension is one of $2 ("hex|xml", any case).
_nxupdate_cli_files()
{
    local f
    compopt -o filenames 2>/dev/null
    while IFS= read -r f; do
        if [[ -d $f || ${f,,} =~ \.($2)$ ]]; then
            printf '%s\n' "$f"
        fi
    done < <(compgen -f -- "$1")
}

# A value as the shell will pass it: without its quotes or backslashes.
_nxupdate_cli_dequote()
{
    local w
    case $1 in
    \'*\' | \"*\") printf '%s' "${1:1:${#1}-2}" ;;
    *)
        # shellcheck disable=SC2162 # read's own unescaping is the point
        IFS= read w <<<"$1"
        printf '%s' "$w"
        ;;
    esac
}

_nxupdate_cli_values()
{
    local prog=$1 opt=$2 val=$3 sim=$4 all=$5
    case $opt in
    --device)
        local serials
        serials=$("$prog" bridges ${sim:+"$sim"} 2>/dev/null | cut -f1)
        compgen -W "$serials $all" -- "$val"
        ;;
    --file) _nxupdate_cli_files "$val" 'hex|xml|dat' ;;
    --simulate) _nxupdate_cli_files "$val" 'json|txt' ;;
    --comlog)
        compopt -o filenames 2>/dev/null
        compgen -d -- "$val"
        ;;
    --history)
        compgen -W off -- "$val"
        _nxupdate_cli_files "$val" 'db'
        ;;
    --out) _nxupdate_cli_files "$val" 'html|htm' ;;
    --result) compgen -W "done failed busy interrupted refused" -- "$val" ;;
    esac
}

_nxupdate_cli()
{
    local prog=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]}
    local prev='' before=''
    ((COMP_CWORD >= 1)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    ((COMP_CWORD >= 2)) && before=${COMP_WORDS[COMP_CWORD - 2]}
    COMPREPLY=()

    # The command word and a --simulate to pass on to "bridges".
    local commands='' command='' sim='' word i
    local help
    help=$("$prog" --help 2>/dev/null) || return
    commands=$(sed -n 's/^  nxupdate-cli \([a-z][a-z-]*\).*/\1/p' <<<"$help")
    commands=${commands//$'\n'/ }
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -z $command && " $commands " == *" $word "* ]]; then
            command=$word
        elif [[ $word == --simulate* ]]; then
            sim=$word
            if [[ ${COMP_WORDS[i + 1]} == "=" ]]; then
                sim+="=${COMP_WORDS[i + 2]}"
            fi
            [[ $sim == *=* ]] && sim="${sim%%=*}=$(_nxupdate_cli_dequote "${sim#*=}")"
        fi
    done
    local all=
    [[ -n $command ]] && grep -q "^  nxupdate-cli $command .*|all\]" <<<"$help" && all="all @failed"

    # A value: "--opt=val" is split into "--opt" "=" "val" where '=' breaks
    # words (the default); "--opt val" for the options that take one.
    if [[ $cur == "=" && $prev == --* ]]; then
        mapfile -t COMPREPLY < <(_nxupdate_cli_values "$prog" "$prev" "" "$sim" "$all")
        return
    elif [[ $prev == "=" && $before == --* ]]; then
        mapfile -t COMPREPLY < <(_nxupdate_cli_values "$prog" "$before" "$cur" "$sim" "$all")
        return
    elif [[ $cur == --*=* ]]; then
        mapfile -t COMPREPLY < <(_nxupdate_cli_values "$prog" "${cur%%=*}" "${cur#*=}" "$sim" "$all")
        COMPREPLY=("${COMPREPLY[@]/#/${cur%%=*}=}")
        return
    elif [[ $prev == --device || $prev == --file ]]; then
        mapfile -t COMPREPLY < <(_nxupdate_cli_values "$prog" "$prev" "$cur" "$sim" "$all")
        return
    fi

    if [[ -z $command && $cur != -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
        return
    fi
    # The command's own options from its usage line, then the common ones.
    local options
    options=$(sed -n -e "/^  nxupdate-cli $command\( \|\$\)/p" -e 's/^common options:\(.*\)/\1/p' \
        <<<"$help" | grep -o -- '--[a-z][a-z-]*=\{0,1\}' | sort -u)
    [[ -n $command ]] || options=$(printf '%s\n' --help --version)
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    # No space after "--name=": the value follows.
    if [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *= ]]; then
        compopt -o nospace 2>/dev/null
    fi
}

complete -F _nxupdate_cli nxupdate-cli
