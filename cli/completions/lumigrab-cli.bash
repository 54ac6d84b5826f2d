# bash completion for lumigrab-cli
_lumigrab_cli() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        -o|--out)
            COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --manifest|--archive|--config|--cookies|-i|--input-file)
            COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --source)
            COMPREPLY=($(compgen -W "auto page json" -- "$cur")); return ;;
        --kind)
            COMPREPLY=($(compgen -W "clipart linedrawing animated static" -- "$cur")); return ;;
        --color)
            COMPREPLY=($(compgen -W "red yellow green teal brown blue purple pink orange black white black-and-white" -- "$cur")); return ;;
        --type)
            # A comma-separated list: complete the last item.
            local done=${cur%,*} last=${cur##*,}
            [[ $done == "$cur" ]] && done="" || done="$done,"
            COMPREPLY=($(compgen -P "$done" -W "jpeg png gif bmp ico cur pcx" -- "$last")); return ;;
        -d|--depth|--max|-j|--threads|-n|--name|--letters|--width|--height|--wait|--retries|--per-host|\
        --min-width|--min-height|--min-bytes|--max-bytes|--proxy)
            return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "-h --help --version -i --input-file -d --depth --max -j --threads -n --name
            --letters --width --height --thumbnails -o --out --manifest --resume --list-only --write-metadata -q --quiet
            --no-warm-up --source --wait --retries --per-host --archive --archive-stats
            --min-width --min-height --type --min-bytes --max-bytes --color --face --kind
            --proxy --cookies --config --no-config" -- "$cur"))
    fi
}
complete -F _lumigrab_cli lumigrab-cli
